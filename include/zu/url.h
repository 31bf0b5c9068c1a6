// zu::URL: a parsed, mutable URL value. Every part is kept decoded; text
// produced by toString is percent-encoded. Copies share one representation
// until one of them changes (copy-on-write).
#ifndef ZU_URL_H
#define ZU_URL_H

#include <boost/shared_ptr.hpp>
#include <zu/array.h>
#include <zu/config.h>
#include <zu/string.h>

namespace zu {

namespace __ {
// The shared representation; all fields decoded.
struct URLStub {
  String scheme;                // lower case, without ":"; empty when none
  String userInfo;              // text before "@" in the authority
  String hostName;              // authority after "@", with any ":port"
  String path;                  // normalised
  TArray<StringPair> queries;   // in order of appearance
  String fragment;              // text after "#"
};
}  // namespace __

// Parsing never fails: text that does not fit gives a URL holding whatever
// parts were recognised. One URL object must not be mutated while another
// thread uses that same object; copies may live on different threads.
class ZU_API URL {
 public:
  // All parts empty.
  URL();
  // Parses `text` (white space around it ignored, an optional "url:" prefix
  // skipped), resolving a relative reference against `base`. Pass an empty
  // URL() as base for absolute text.
  explicit URL(String const& text, URL const& base = URL());

  URL(URL const& other) = default;  // shares the representation
  URL& operator=(URL const& other) = default;  // shares the representation
  // A moved-from URL is empty and usable.
  URL(URL&& other) noexcept;
  URL& operator=(URL&& other) noexcept;  // leaves `other` empty
  ~URL() = default;

  // The parts, decoded (shared copies).
  String getScheme() const;
  String getUserInfo() const;  // text before "@" in the authority
  String getHostName() const;  // the authority after "@", with any ":port"
  String getPath() const;  // normalised
  String getFragment() const;  // text after "#"
  TArray<StringPair> getQueries() const;  // the parameters in order of appearance
  // Value of the first parameter called `name` (String::compare, without
  // regard to case when ignoreCase); defaultValue when there is none.
  String getQuery(String const& name, String const& defaultValue = String(), bool ignoreCase = false) const;

  // Store the decoded value as given.
  void setScheme(String const& scheme);
  void setUserInfo(String const& userInfo);  // stored as given
  void setHostName(String const& hostName);  // stored as given, ":port" included
  void setFragment(String const& fragment);  // stored as given
  // Stores the path after normalisation ("\" to "/", "//", "/./" and
  // "/segment/../" collapsed).
  void setPath(String const& path);
  void setQueries(TArray<StringPair> const& queries);  // replaces every parameter
  // Removes every parameter called `name`, then appends (name, value).
  void setQuery(String const& name, String const& value, bool ignoreCase = false);
  // Removes every parameter called `name`.
  void eraseQuery(String const& name, bool ignoreCase = false);

  // Encoded text: scheme "://" [userInfo "@"] hostName path ["?" queries]
  // ["#" fragment]; with pathOnly, only path, queries and fragment.
  // Parameters with an empty name are left out.
  String toString(bool pathOnly = false) const;
  // True when toString(false) is empty.
  bool empty() const;

  // Blank to "+"; letters, digits and "-_.!~*'():" kept; every other byte
  // as "%" and two lower-case hexadecimal digits.
  static String encode(String const& text);
  // "+" to blank, "%" and two hexadecimal digits (either case) to that
  // byte; any other "%" is kept literally. Never reads past the text.
  static String decode(String const& text);

 private:
  void detach();

  boost::shared_ptr<__::URLStub> stub_;
};

}  // namespace zu

#endif
