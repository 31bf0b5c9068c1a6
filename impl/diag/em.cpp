// The error channel: reports of failures, kept per thread for the
// CatchError guards that listen for them.
#include <zu/em.h>

#include <map>

namespace zu {
namespace em {
namespace __ {

struct GuardRecord {
  GuardRecord* previous = nullptr;
  void const* owner = nullptr;
  unsigned int rawCode = 0;
  Translate translate = nullptr;
  unsigned int code = 0;
  String text;
};

}  // namespace __

namespace {

typedef std::map<void const*, __::GuardRecord*> Registry;

// Created with the thread's first guard and destroyed with its last, so a
// thread that never listens pays one thread-local load per report.
thread_local Registry* registry = nullptr;

__::GuardRecord* innermost(void const* owner) {
  Registry* r = registry;
  if (!r) return nullptr;
  Registry::iterator it = r->find(owner);
  return it == r->end() ? nullptr : it->second;
}

}  // namespace

CatchError::CatchError(void const* owner) : record_(new __::GuardRecord) {
  record_->owner = owner;
  try {
    if (!registry) registry = new Registry;
    __::GuardRecord*& slot = (*registry)[owner];
    record_->previous = slot;
    slot = record_;
  } catch (...) {
    if (registry && registry->empty()) {
      delete registry;
      registry = nullptr;
    }
    delete record_;
    throw;
  }
}

CatchError::~CatchError() {
  Registry* r = registry;
  if (r) {
    Registry::iterator it = r->find(record_->owner);
    if (it != r->end()) {
      if (it->second == record_) {
        if (record_->previous)
          it->second = record_->previous;
        else
          r->erase(it);
      } else {
        // A guard that outlives a newer one for the same owner (guards made
        // with new, or moved into containers) leaves the middle of the
        // chain: unlink it so the newer guard never points at freed memory.
        for (__::GuardRecord* g = it->second; g; g = g->previous) {
          if (g->previous == record_) {
            g->previous = record_->previous;
            break;
          }
        }
      }
    }
    if (r->empty()) {
      delete r;
      registry = nullptr;
    }
  }
  delete record_;
}

unsigned int CatchError::code() const {
  if (record_->translate) {
    unsigned int translated = 0;
    record_->translate(record_->rawCode, &translated, nullptr);
    return translated;
  }
  return record_->code;
}

String CatchError::text() {
  if (record_->translate) {
    String translated;
    record_->translate(record_->rawCode, nullptr, &translated);
    return translated;
  }
  return record_->text;
}

void CatchError::clear() {
  record_->rawCode = 0;
  record_->translate = nullptr;
  record_->code = 0;
  record_->text = String();
}

void report(void const* owner, unsigned int code, Translate translate) {
  if (__::GuardRecord* g = innermost(owner)) {
    g->rawCode = code;
    g->translate = translate;
    g->code = 0;
    g->text = String();
  }
}

void report(void const* owner, unsigned int code, String const& text) {
  if (__::GuardRecord* g = innermost(owner)) {
    g->rawCode = 0;
    g->translate = nullptr;
    g->code = code;
    g->text = text;
  }
}

bool catching(void const* owner) { return innermost(owner) != nullptr; }

}  // namespace em
}  // namespace zu
