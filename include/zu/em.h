// zu::em: the per-thread error-report channel. Operations report why they
// failed under the failing object's address; a caller listens with a
// CatchError guard for that address on its own thread.
#ifndef ZU_EM_H
#define ZU_EM_H

#include <zu/config.h>
#include <zu/string.h>

namespace zu {
namespace em {

// Fills the module's own code and/or the text for a raw code; either
// pointer may be null and only what is given is filled.
typedef void (*Translate)(unsigned int rawCode, unsigned int* code, String* text);

namespace __ {
struct GuardRecord;
}

// Listens for reports about `owner` on the creating thread while it lives.
// The innermost guard for an owner receives its reports; the last report
// wins. Must be destroyed on the thread that created it.
class ZU_API CatchError {
 public:
  explicit CatchError(void const* owner);
  ~CatchError();
  CatchError(CatchError const&) = delete;
  CatchError& operator=(CatchError const&) = delete;

  // The reported code (translated on each call when a translation function
  // was given); 0 when nothing was reported.
  unsigned int code() const;
  // The reported text (built on each call when a translation function was
  // given); empty when nothing was reported.
  String text();

 private:
  __::GuardRecord* record_;
};

// Hands `code` and its translation function to this thread's innermost
// guard for `owner`; dropped when there is none.
ZU_API void report(void const* owner, unsigned int code, Translate translate);
// Hands a finished code and text to this thread's innermost guard for
// `owner`; dropped when there is none.
ZU_API void report(void const* owner, unsigned int code, String const& text);
// Whether this thread has a guard for `owner`: lets reporters skip building
// a costly text nobody reads.
ZU_API bool catching(void const* owner);

}  // namespace em
}  // namespace zu

#endif
