// The library's assertion: active in every build type. The message is the
// text given, which names the violated condition in the library's words.
#ifndef ZU_IMPL_ASSERT_H
#define ZU_IMPL_ASSERT_H

#include <zu/config.h>

#define ZU_ASSERT(condition, text)                                   \
  do {                                                               \
    if (__builtin_expect(!(condition), 0))                           \
      ::zu::__::assertionFailed((text), __FILE__, __LINE__);         \
  } while (0)

#endif
