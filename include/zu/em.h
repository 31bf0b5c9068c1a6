// zu::em: the per-thread error-report channel. Operations report why they
// failed under the failing object's address; a caller listens with a
// CatchError guard for that address on its own thread.
#ifndef ZU_EM_H
#define ZU_EM_H

#include <type_traits>
#include <utility>

#include <boost/shared_ptr.hpp>
#include <zu/config.h>
#include <zu/string.h>

namespace zu {
namespace em {

// Fills the module's own code and/or the text for a raw code; either
// pointer may be null and only what is given is filled.
typedef void (*Translate)(unsigned int rawCode, unsigned int* code, String* text);

namespace __ {
struct GuardRecord;
}

// Listens for reports about `owner` on the creating thread while it lives.
// The innermost guard for an owner receives its reports; the last report
// wins. Must be destroyed on the thread that created it.
class ZU_API CatchError {
 public:
  // Starts listening for `owner`'s reports.
  explicit CatchError(void const* owner);
  // Stops listening; the enclosing guard for the owner, if any, listens again.
  ~CatchError();
  CatchError(CatchError const&) = delete;
  CatchError& operator=(CatchError const&) = delete;

  // The reported code (translated on each call when a translation function
  // was given); 0 when nothing was reported.
  unsigned int code() const;
  // The reported text (built on each call when a translation function was
  // given); empty when nothing was reported.
  String text();
  // Forgets what was reported so far: code() is 0 and text() empty again
  // until the next report. Lets one guard serve several calls in turn.
  void clear();

 private:
  __::GuardRecord* record_;
};

// Hands `code` and its translation function to this thread's innermost
// guard for `owner`; dropped when there is none.
ZU_API void report(void const* owner, unsigned int code, Translate translate);
// Hands a finished code and text to this thread's innermost guard for
// `owner`; dropped when there is none.
ZU_API void report(void const* owner, unsigned int code, String const& text);
// Whether this thread has a guard for `owner`: lets reporters skip building
// a costly text nobody reads.
ZU_API bool catching(void const* owner);

// What attempt() gives back: the call's own result, and the code and text
// reported under the owner while it ran (0 and empty when nothing was).
template <class R>
struct Outcome {
  R result;           // what the call returned
  unsigned int code;  // the code reported, 0 for none
  String text;        // the text reported, empty for none
};
// The same for a call that returns nothing.
template <>
struct Outcome<void> {
  unsigned int code;  // the code reported, 0 for none
  String text;        // the text reported, empty for none
};

// Runs `call()` under a guard for `owner` and returns its result together
// with the report it left, in one value:
//   auto r = zu::em::attempt(file.get(), [&] { return file->open(path); });
//   if (!r.result) std::cerr << r.code << " " << r.text.cstr();
// `owner` is the address the object reports under: the pointer held in the
// boost::shared_ptr its factory returned (the overload below takes that
// pointer itself).
template <class F>
auto attempt(void const* owner, F&& call) -> Outcome<decltype(std::forward<F>(call)())> {
  typedef decltype(std::forward<F>(call)()) R;
  CatchError guard(owner);
  if constexpr (std::is_void<R>::value) {
    std::forward<F>(call)();
    unsigned int const code = guard.code();
    return Outcome<void>{code, guard.text()};
  } else {
    R result = std::forward<F>(call)();
    unsigned int const code = guard.code();
    return Outcome<R>{std::move(result), code, guard.text()};
  }
}
// As above, for the object `owner` holds.
template <class T, class F>
auto attempt(boost::shared_ptr<T> const& owner, F&& call) -> Outcome<decltype(std::forward<F>(call)())> {
  return attempt(static_cast<void const*>(owner.get()), std::forward<F>(call));
}

}  // namespace em
}  // namespace zu

#endif
