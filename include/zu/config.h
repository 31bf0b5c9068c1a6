// Build settings shared by every public header of zu.
#ifndef ZU_CONFIG_H
#define ZU_CONFIG_H

// Symbols of the shared library are hidden unless marked with ZU_API.
#if defined(_WIN32)
#  ifdef ZU_BUILDING
#    define ZU_API __declspec(dllexport)
#  else
#    define ZU_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define ZU_API __attribute__((visibility("default")))
#else
#  define ZU_API
#endif

// Lets the compiler check the arguments of a printf-style function against
// its format: the format is argument `formatIndex`, the values start at
// `firstValue`.
#if defined(__GNUC__) || defined(__clang__)
#  define ZU_PRINTF_FORMAT(formatIndex, firstValue) __attribute__((format(printf, formatIndex, firstValue)))
#else
#  define ZU_PRINTF_FORMAT(formatIndex, firstValue)
#endif

namespace zu {
// The all-ones unsigned value, under the two meanings it has throughout the
// interface: a position or index that is not there, and a length, count or
// time-out in milliseconds without a limit ("up to the end", "for ever").
unsigned int const NOT_FOUND = 0xFFFFFFFF;  // no such position or index
unsigned int const NO_LIMIT = 0xFFFFFFFF;  // no limit: up to the end, for ever

namespace __ {
// Reports a violated precondition: prints "Assertion failed: <expression>,
// file <base name>, line <line>" to standard error and aborts. Active in
// every build type. Public because header templates check indices with it.
[[noreturn]] ZU_API void assertionFailed(char const* expression, char const* file, unsigned int line);
}  // namespace __
}  // namespace zu

#endif
