// What the loaders of the outside libraries share: a library opened by its
// versioned soname on first use, every function a family calls resolved at
// once into a table, and the reason kept, reported and logged when not.
//
// A loader's accessor builds its result in a function-local static, so the
// library is opened once, under the lock that guards the static's
// initialisation, by whichever thread asks first. The result is never
// destroyed and the library never closed: code running at exit may still
// call through the table.
#ifndef ZU_IMPL_EXT_LOADER_H
#define ZU_IMPL_EXT_LOADER_H

#include <atomic>
#include <string>

namespace zu {
namespace ext {

// The code reported when a family's library is unavailable.
unsigned int const ERROR_LIBRARY_UNAVAILABLE = 100;

// The outcome of loading one library: its table of functions when
// `loaded`, else the reason ("<soname> could not be loaded: <why>").
template <class Table>
struct Library {
  bool loaded = false;
  Table api{};
  std::string failure;
};

// Opens one library and resolves functions from it. The first failure is
// kept; later look-ups are skipped.
class Resolver {
 public:
  // `companion`, when given, is a second library searched for the
  // functions `soname` does not export itself: a library whose functions
  // are split over two files (where a system's loader does not search a
  // library's dependencies by its handle).
  explicit Resolver(char const* soname, char const* companion = nullptr);
  Resolver(Resolver const&) = delete;
  Resolver& operator=(Resolver const&) = delete;
  ~Resolver();

  // Resolves `name` into `slot`, a pointer to the function's own type.
  template <class Function>
  void operator()(Function& slot, char const* name) {
    slot = reinterpret_cast<Function>(find(name));
  }

  // True when the library and every function were found. Otherwise the
  // library is closed and `failure` says why.
  bool finish(std::string& failure);

 private:
  void* find(char const* name);

  char const* const soname_;
  void* library_;
  void* companion_;
  std::string reason_;
};

// The failure of a family built without its library.
std::string notBuiltIn(char const* soname, char const* option);

// A loader lists its library's functions once, as `F(name) F(name) ...`;
// these two expand that list into the table's members (each of the C
// function's own pointer type) and into their look-ups by name.
#define ZU_EXT_MEMBER(name) decltype(&::name) name;
#define ZU_EXT_RESOLVE(name) resolve(api.name, #name);

// Opens `soname` and fills a new table through `resolveAll(resolve, api)`;
// the result says why when the library or any function is missing, or
// when zu was built without it (`builtIn` false, `option` was off).
template <class Table, class ResolveAll>
Library<Table>* load(char const* soname, bool builtIn, char const* option, ResolveAll resolveAll,
                     char const* companion = nullptr) {
  Library<Table>* const library = new Library<Table>();
  if (!builtIn) {
    library->failure = notBuiltIn(soname, option);
    return library;
  }
  Resolver resolve(soname, companion);
  resolveAll(resolve, library->api);
  library->loaded = resolve.finish(library->failure);
  return library;
}

// Logs `failure` at level 0 (a family the host uses cannot work) the first
// time it is called with `logged`. Called by the accessors after the
// loading, outside its lock, so that a log callback may itself use the
// family (and find it failing) instead of re-entering the loading.
void logOnce(std::atomic<bool>& logged, std::string const& failure);

// Reports `failure` with code 100 under `owner`. Returns false, so a
// family can write `return ext::unavailable(this, lib.failure);`.
bool unavailable(void const* owner, std::string const& failure);

// The accessor's body: `loadOnce()` runs once, by the first caller from any
// thread; a failure is logged once, after the loading.
template <class Table, class Load>
Library<Table> const& opened(Load loadOnce) {
  static Library<Table> const* const library = loadOnce();
  static std::atomic<bool> logged{false};
  if (!library->loaded) logOnce(logged, library->failure);
  return *library;
}

}  // namespace ext
}  // namespace zu

#endif
