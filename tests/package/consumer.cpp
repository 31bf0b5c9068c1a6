// A program built against the unpacked packages: it links libzu, builds a
// text and reads the library's own version property, and fails when either
// is not what it should be.
#include <cstdio>

#include <zu/string.h>
#include <zu/sys.h>

int main() {
  zu::String text("packaged");
  text += " zu";
  zu::String const version = zu::sys::getProperty("zu.version");
  std::printf("%s %s\n", text.cstr(), version.cstr());
  return text == "packaged zu" && version == "1" ? 0 : 1;
}
