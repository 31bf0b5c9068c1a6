// Start-up cost, zu side: a whole program that only builds a zu::String.
// startup.sh times it against startup_plain, the same program on
// std::string, as whole processes.
#include <zu/string.h>

int main(int argc, char**) {
  zu::String text("hello");
  text += " world";
  return text.length() == 11 + static_cast<unsigned int>(argc) - 1 ? 0 : 1;
}
