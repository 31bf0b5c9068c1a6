// UTF-8 and UTF-16 at the edge of the wide (W) calls: the library's text is
// UTF-8, Windows's is UTF-16. Included by the files of this folder only.
#ifndef ZU_IMPL_WIN32_WIDE_H
#define ZU_IMPL_WIN32_WIDE_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

namespace zu {
namespace __ {
namespace win32 {

// `text` as UTF-16; bytes that are not UTF-8 become U+FFFD.
inline std::wstring widen(std::string const& text) {
  if (text.empty()) return std::wstring();
  int const size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

// `text` (of `length` units, or up to its zero when negative) as UTF-8.
inline std::string narrow(wchar_t const* text, int length = -1) {
  if (!text) return std::string();
  if (length < 0) length = static_cast<int>(::wcslen(text));
  if (length == 0) return std::string();
  int const size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], size, nullptr, nullptr);
  return out;
}

inline std::string narrow(std::wstring const& text) { return narrow(text.c_str(), static_cast<int>(text.size())); }

// The system's English text for error `code`, without the line end it
// ends in; empty for codes the system has no text for.
inline std::string errorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  DWORD const length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length != 0 && buffer) text = narrow(buffer, static_cast<int>(length));
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace win32
}  // namespace __
}  // namespace zu

#endif
