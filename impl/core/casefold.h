// Simple, locale-independent Unicode case folding of UTF-8 text, and the
// case-blind comparison built on it.
#ifndef ZU_IMPL_CASEFOLD_H
#define ZU_IMPL_CASEFOLD_H

#include <cstddef>

namespace zu {
namespace __ {

// The simple case folding of one code point (one code point to one, as the
// Unicode case-folding data gives it with the statuses C and S): "A" to "a",
// "\u00DC" to "\u00FC", "\u212A" (Kelvin) to "k"; "\u00DF" stays itself, having
// only a full folding. Code points without a folding come back unchanged.
unsigned int foldCase(unsigned int codePoint);

// Compares two UTF-8 texts without regard to case: code point by code point
// after simple case folding, ASCII letters taken as upper case so that
// ASCII-only texts keep the order of an upper-case comparison. Bytes that are
// no valid UTF-8 compare by themselves, after every code point. Returns <0, 0
// or >0.
int compareFolded(char const* a, std::size_t aSize, char const* b, std::size_t bSize);

}  // namespace __
}  // namespace zu

#endif
