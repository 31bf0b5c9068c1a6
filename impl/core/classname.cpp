// Readable class names for log lines and reports: the compiler's mangled
// type names demangled.
#include "core/classname.h"

#include <cxxabi.h>
#include <cstdlib>

namespace zu {
namespace __ {

String className(std::type_info const& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  String result("class ");
  result.append(status == 0 && demangled ? demangled : type.name());
  std::free(demangled);
  return result;
}

}  // namespace __
}  // namespace zu
