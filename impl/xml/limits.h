// How long one text of a tree of zu::xml may be.
#ifndef ZU_IMPL_XML_LIMITS_H
#define ZU_IMPL_XML_LIMITS_H

#include <cstddef>

namespace zu {
namespace xml {
namespace impl {

// The most bytes of one text: a text node's text or an attribute value
// read, the whole text written into a String (with what it held before), or
// one line handed to a stream. String's and IIO's sizes are unsigned int,
// whose all-ones value means "no limit", so this is one less; a read that
// would pass it fails as out of memory, a write as not taken. Tests lower it
// to reach it without gigabytes.
extern std::size_t textLimit;

}  // namespace impl
}  // namespace xml
}  // namespace zu

#endif
