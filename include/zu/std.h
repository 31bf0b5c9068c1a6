// Bridges between the library's boost ownership and the standard library's:
// a std::shared_ptr view of an object made by any New factory.
#ifndef ZU_STD_H
#define ZU_STD_H

#include <memory>
#include <boost/shared_ptr.hpp>

namespace zu {

// A std::shared_ptr to the same object that keeps `object` alive: the
// object lives while any holder of either kind remains. Null gives null.
// The boost reference is dropped as soon as the last std::shared_ptr is
// released, even while std::weak_ptrs to it remain.
template <class T>
std::shared_ptr<T> toStdShared(boost::shared_ptr<T> const& object) {
  if (!object) return std::shared_ptr<T>();
  struct Keeper {
    boost::shared_ptr<T> held;
    void operator()(T*) { held.reset(); }
  };
  return std::shared_ptr<T>(object.get(), Keeper{object});
}

}  // namespace zu

#endif
