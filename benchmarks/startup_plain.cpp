// Start-up cost, peer side: startup_zu's program on std::string, without zu.
#include <string>

int main(int argc, char**) {
  std::string text("hello");
  text += " world";
  return text.size() == 11 + static_cast<unsigned int>(argc) - 1 ? 0 : 1;
}
