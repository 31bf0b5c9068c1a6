// The run-time class name of an object as log lines show it: "class "
// followed by the demangled, fully qualified name, the same on every platform.
#ifndef ZU_IMPL_CLASSNAME_H
#define ZU_IMPL_CLASSNAME_H

#include <typeinfo>
#include <zu/string.h>

namespace zu {
namespace __ {

String className(std::type_info const& type);

template <class T>
String className(T const& object) {
  return className(typeid(object));
}

}  // namespace __
}  // namespace zu

#endif
