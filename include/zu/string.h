// zu::String: the library's text value. UTF-8, NUL-terminated, shared
// between copies until one of them changes (copy-on-write).
#ifndef ZU_STRING_H
#define ZU_STRING_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <boost/shared_array.hpp>
#include <boost/shared_ptr.hpp>
#include <zu/config.h>

namespace zu {

template <class T> class TArray;
class String;

namespace __ {
// Whether a printf argument is a text object that printf must be handed as
// a pointer to its characters.
template <class T>
constexpr bool isTextObject() {
  return std::is_same<typename std::decay<T>::type, String>::value ||
         std::is_same<typename std::decay<T>::type, std::string>::value;
}
template <class... Args>
constexpr bool hasTextArgument() {
  return (false || ... || isTextObject<Args>());
}
}  // namespace __

namespace __ {
// The shared representation: a malloc'ed, NUL-terminated buffer or null.
// Null and a buffer starting with NUL both mean the empty string. The
// length and the block's size are kept beside it, so that length() is a
// load and appending grows the block by doubling.
struct StringStub {
  char* text;
  unsigned int size;      // bytes before the NUL; 0xFFFFFFFF while getBuffer's caller may write
  unsigned int capacity;  // bytes in the block at `text`, NUL included; 0 when null
};
}  // namespace __

// Positions and lengths are byte counts. NOT_FOUND is "not found" as a
// result and NO_LIMIT "up to the end" as a length. Precondition failures (null
// pointer arguments, bases outside 2..36) abort through the library's
// assertion. One String object must not be mutated while another thread
// uses that same object; copies may live on different threads.
class ZU_API String {
 public:
  // The empty string.
  String();
  // At most `length` bytes of `text`, stopping at a NUL. Null gives "".
  String(char const* text, unsigned int length = NO_LIMIT);
  // Wide text, each unit encoded by itself as UTF-8 (1 to 4 bytes; a
  // 32-bit unit above 0xFFFF takes 4). Where wchar_t has 16 bits (Windows)
  // the text is UTF-16: a surrogate pair is one code point (4 bytes).
  // Stops at a NUL unit; null gives "".
  String(wchar_t const* text, unsigned int length = NO_LIMIT);
  // As the wide constructor on text.get().
  String(boost::shared_array<wchar_t> text, unsigned int length = NO_LIMIT);
  ///@{
  // Digits '0'-'9' then 'A'-'Z', most significant first, '-' for negatives.
  explicit String(int value, unsigned int base = 10);
  explicit String(unsigned int value, unsigned int base = 10);
  explicit String(std::int64_t value, unsigned int base = 10);
  explicit String(std::uint64_t value, unsigned int base = 10);
  ///@}
  // long long and unsigned long long are types of their own beside the
  // 64-bit types above (long here): without this, -1LL or 0xFFULL would be
  // ambiguous between all the integer constructors.
  template <class T,
            typename std::enable_if<(std::is_same<T, long long>::value || std::is_same<T, unsigned long long>::value) &&
                                        !std::is_same<T, std::int64_t>::value && !std::is_same<T, std::uint64_t>::value,
                                    int>::type = 0>
  explicit String(T value, unsigned int base = 10)
      : String(static_cast<typename std::conditional<std::is_signed<T>::value, std::int64_t, std::uint64_t>::type>(value),
               base) {}
  // "%0.*f" with `precision`, or "%f" when precision is NO_LIMIT.
  explicit String(double value, unsigned int precision = NO_LIMIT);
  ///@{
  // The bytes of a standard string, up to its first NUL (a String holds no
  // NUL). A literal or char pointer still takes the char const* form. The
  // view form is explicit: implicit from both, every comparison of a view
  // with a std::string would find these operators too and be ambiguous.
  // A text past 0xFFFFFFFE bytes (without a NUL before) stops at the
  // assertion.
  String(std::string const& text) : String(text.data(), lengthLimit(text.size())) {}
  explicit String(std::string_view text) : String(text.data(), lengthLimit(text.size())) {}
  ///@}

  String(String const& other) = default;  // shares the text
  String(String&& other) noexcept;  // leaves `other` empty
  String& operator=(String const& other) = default;  // shares the text
  String& operator=(String&& other) noexcept;  // leaves `other` empty
  String& operator=(char const* text);  // as String(text)
  ~String() = default;

  // Number of bytes before the NUL; kept, so constant time (measured only
  // while getBuffer's block may still be written, until the next mutator).
  unsigned int length() const {
    __::StringStub const* stub = stub_.get();
    if (!stub) return 0;
    return stub->size != 0xFFFFFFFF ? stub->size : static_cast<unsigned int>(std::strlen(stub->text));
  }
  bool empty() const;  // length() == 0
  // Never null; valid until this string next changes or is destroyed.
  char const* cstr() const;
  // length()+1 wide units, NUL-terminated. A 4-byte UTF-8 sequence gives
  // its code point (a surrogate pair where wchar_t has 16 bits); other
  // malformed sequences give 0xFFFF or end the text.
  boost::shared_array<wchar_t> toUTF16() const;
  ///@{
  // The text as a standard string (a copy), or a view valid as long as
  // cstr() is.
  std::string str() const { return std::string(cstr(), length()); }
  std::string_view view() const { return std::string_view(cstr(), length()); }
  ///@}

  ///@{
  // strtol/strtoul; 0 for the empty string.
  int toInteger(unsigned int base = 10) const;
  unsigned int toUnsigned(unsigned int base = 10) const;
  ///@}
  ///@{
  // Own 64-bit parser: leading blanks, one sign ('-' or '+', signed form
  // only; a sign gives 0 in the unsigned form), digits below `base`;
  // wraps modulo 2^64 instead of saturating.
  std::int64_t toInt64(unsigned int base = 10) const;
  std::uint64_t toUnsigned64(unsigned int base = 10) const;
  ///@}
  double toReal() const;  // strtod; 0 for the empty string

  ///@{
  // First position >= from; an empty needle is found at 0.
  unsigned int find(char const* needle, unsigned int from = 0, bool ignoreCase = false) const;
  unsigned int find(char c, unsigned int from = 0, bool ignoreCase = false) const;
  unsigned int find(String const& needle, unsigned int from = 0, bool ignoreCase = false) const;
  ///@}
  ///@{
  // Last occurrence starting at or before `from` (default: from the end).
  unsigned int findLast(char const* needle, unsigned int from = NO_LIMIT, bool ignoreCase = false) const;
  unsigned int findLast(char c, unsigned int from = NO_LIMIT, bool ignoreCase = false) const;
  unsigned int findLast(String const& needle, unsigned int from = NO_LIMIT, bool ignoreCase = false) const;
  ///@}
  ///@{
  // First position >= from whose byte is one of `chars`.
  unsigned int findOneOf(char const* chars, unsigned int from = 0, bool ignoreCase = false) const;
  unsigned int findOneOf(String const& chars, unsigned int from = 0, bool ignoreCase = false) const;
  ///@}

  ///@{
  // Whether the text begins (ends) with these bytes.
  bool startsWith(char const* prefix, bool ignoreCase = false) const;
  bool startsWith(String const& prefix, bool ignoreCase = false) const;
  bool endsWith(char const* suffix, bool ignoreCase = false) const;
  bool endsWith(String const& suffix, bool ignoreCase = false) const;
  ///@}
  ///@{
  // Negative, zero or positive, bytes compared as unsigned.
  int compare(char const* other, bool ignoreCase = false) const;
  int compare(String const& other, bool ignoreCase = false) const;
  ///@}

  // A fresh copy of at most `count` bytes from `pos`.
  String mid(unsigned int pos, unsigned int count = NO_LIMIT) const;
  String left(unsigned int count) const;  // mid(0, count)
  // The last `count` bytes; the whole string (shared) when it is shorter.
  String right(unsigned int count) const;
  String toLeftTrimed() const;  // without leading white space (C locale)
  String toRightTrimed() const;  // without trailing white space (C locale)
  String toTrimed() const;  // without white space at either end
  String toUpper() const;  // ASCII letters in upper case, other bytes kept
  String toLower() const;  // ASCII letters in lower case, other bytes kept
  // Lines ended by LF, CR LF or CR CR LF; a lone CR stays in the line.
  TArray<String> lines() const;
  ///@{
  // Pieces between separator bytes; without keepEmpty, runs of separators
  // and separators at either end produce no empty pieces.
  TArray<String> tokenise(char const* separators, bool keepEmpty = false, bool ignoreCase = false) const;
  TArray<String> tokenise(char separator, bool keepEmpty = false, bool ignoreCase = false) const;
  TArray<String> tokenise(String const& separators, bool keepEmpty = false, bool ignoreCase = false) const;
  ///@}

  // Mutators detach from shared copies first; an argument that points into
  // this string's own buffer is always read before the buffer changes.
  String& append(char const* text);
  String& append(char c) {
    // Building a text byte by byte: room left, length known, not shared.
    __::StringStub* stub = stub_.get();
    if (c != 0 && stub && std::size_t(stub->size) + 2 <= stub->capacity && stub_.use_count() == 1) {
      stub->text[stub->size++] = c;
      stub->text[stub->size] = 0;
      return *this;
    }
    return appendSlow(c);
  }
  String& append(String const& text);  // copies the bytes of `text`
  // Takes over the text's buffer when this string is empty; copies nothing
  // more than the appended bytes otherwise.
  String& append(String&& text);
  String& append(std::string const& text) {  // up to its first NUL
    appendBytes(text.c_str(), std::strlen(text.c_str()));
    return *this;
  }
  ///@{
  // Replaces `count` bytes at `pos` (clipped) by `text`; appends when
  // pos >= length().
  String& splice(char const* text, unsigned int pos, unsigned int count);
  String& splice(char c, unsigned int pos, unsigned int count);
  String& splice(String const& text, unsigned int pos, unsigned int count);
  ///@}
  String& erase(unsigned int pos, unsigned int count = NO_LIMIT);  // splice("", pos, count)
  ///@{
  // Replaces the first (or every) `target` from `from`; the search resumes
  // behind the inserted text. An empty target replaces nothing and returns
  // false. True when at least one replacement was made.
  bool replace(char const* target, char const* subs, bool all = true, unsigned int from = 0, bool ignoreCase = false);
  bool replace(String const& target, String const& subs, bool all = true, unsigned int from = 0, bool ignoreCase = false);
  ///@}
  String& leftTrim();  // in place: toLeftTrimed()
  String& rightTrim();  // in place: toRightTrimed()
  String& trim();  // in place: toTrimed()
  String& makeUpper();  // in place: toUpper()
  String& makeLower();  // in place: toLower()
  // A writable buffer with room for `size` bytes plus a NUL. The length
  // afterwards is wherever the first NUL lies.
  char* getBuffer(unsigned int size);
  // Sole owner of a buffer exactly length()+1 bytes long.
  String& makeCompact();

  static String printf(char const* fmt, ...) ZU_PRINTF_FORMAT(1, 2);  // C printf into a new String
  // A String (or std::string) among the arguments is formatted as its
  // text: this form is chosen only when one is present and hands every such
  // argument on as cstr() (c_str()); other calls take the form above.
  template <class... Args, typename std::enable_if<__::hasTextArgument<Args...>(), int>::type = 0>
  static String printf(char const* fmt, Args&&... args) {
    return printf(fmt, passText(std::forward<Args>(args))...);
  }
  // printf(String const& fmt, ...): the text of `fmt` as the format, text
  // objects among the arguments as above. A template rather than a C
  // variadic function, which cannot read the arguments that follow a
  // reference. Taken for a String, a std::string or anything else that
  // becomes a String but not a char const*.
  template <class Format, class... Args,
            typename std::enable_if<std::is_convertible<Format const&, String>::value &&
                                        !std::is_convertible<Format const&, char const*>::value,
                                    int>::type = 0>
  static String printf(Format const& fmt, Args&&... args) {
    String const& format = fmt;
    return printfUnchecked(format.cstr(), passText(std::forward<Args>(args))...);
  }

  ///@{
  // append(text)
  String& operator+=(char const* text) { return append(text); }
  String& operator+=(String const& text) { return append(text); }
  String& operator+=(String&& text) { return append(std::move(text)); }
  String& operator+=(std::string const& text) { return append(text); }
  String& operator+=(char c) { return append(c); }
  ///@}

  // Whether this string holds the only reference to its buffer.
  bool unique() const;

 private:
  // A standard text's size as a length bound: NO_LIMIT (up to the first
  // NUL) for one too long to pass as an unsigned int.
  static unsigned int lengthLimit(std::size_t size) {
    return size < NO_LIMIT ? static_cast<unsigned int>(size) : NO_LIMIT;
  }
  static char const* passText(String const& text) { return text.cstr(); }
  static char const* passText(std::string const& text) { return text.c_str(); }
  template <class T, typename std::enable_if<!__::isTextObject<T>(), int>::type = 0>
  static T&& passText(T&& value) {
    return std::forward<T>(value);
  }

  // printf for a format that is not a literal, so not checked against the
  // arguments.
  static String printfUnchecked(char const* fmt, ...);

  void appendBytes(char const* text, std::size_t n);
  String& appendSlow(char c);

  boost::shared_ptr<__::StringStub> stub_;
};

///@{
// The two texts joined; a left operand that is about to go away is
// appended to in place.
ZU_API String operator+(String const& a, String const& b);
ZU_API String operator+(String const& a, char const* b);
ZU_API String operator+(char const* a, String const& b);
ZU_API String operator+(String const& a, char b);
inline String operator+(String&& a, String const& b) { return std::move(a.append(b)); }
inline String operator+(String&& a, char const* b) { return std::move(a.append(b)); }
inline String operator+(String&& a, char b) { return std::move(a.append(b)); }
inline String operator+(String const& a, std::string const& b) { return String(a).append(b); }
inline String operator+(String&& a, std::string const& b) { return std::move(a.append(b)); }
inline String operator+(std::string const& a, String const& b) { return String(a).append(b); }
///@}

///@{
// Byte comparisons as String::compare, with case; a null pointer reads as "".
inline bool operator==(String const& a, String const& b) { return a.compare(b) == 0; }
inline bool operator==(String const& a, char const* b) { return a.compare(b ? b : "") == 0; }
inline bool operator==(char const* a, String const& b) { return b.compare(a ? a : "") == 0; }
inline bool operator!=(String const& a, String const& b) { return !(a == b); }
inline bool operator!=(String const& a, char const* b) { return !(a == b); }
inline bool operator!=(char const* a, String const& b) { return !(a == b); }
inline bool operator<(String const& a, String const& b) { return a.compare(b) < 0; }
inline bool operator==(String const& a, std::string const& b) { return a.view() == b; }
inline bool operator==(std::string const& a, String const& b) { return b.view() == a; }
inline bool operator!=(String const& a, std::string const& b) { return !(a == b); }
inline bool operator!=(std::string const& a, String const& b) { return !(a == b); }
inline bool operator<(String const& a, std::string const& b) { return a.compare(b.c_str()) < 0; }
inline bool operator<(std::string const& a, String const& b) { return b.compare(a.c_str()) > 0; }
///@}

// Writes the text (the stream's width and fill apply as to a std::string).
// A template, as the standard's own inserters are, so that a program that
// already defines an inserter for String keeps using its own.
template <class Traits>
std::basic_ostream<char, Traits>& operator<<(std::basic_ostream<char, Traits>& out, String const& text) {
  return out << text.view();
}

}  // namespace zu

namespace std {
// So that a String can key a std::unordered_map.
template <>
struct hash<zu::String> {
  std::size_t operator()(zu::String const& text) const noexcept { return std::hash<std::string_view>()(text.view()); }  // of view()
};
}  // namespace std

#endif
