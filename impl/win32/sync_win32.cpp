// Locks, semaphores and sync points on Win32 objects, and the atomic
// integer: a critical section (re-entrant by itself), a semaphore with its
// maximum, and an event with automatic or manual reset.
#include <zu/sys.h>

#include <boost/make_shared.hpp>

#include "core/assertion.h"
#include "win32/wide.h"

namespace zu {

namespace sys {
namespace __ {

struct MutexStub {
  CRITICAL_SECTION section;
  MutexStub() { ::InitializeCriticalSection(&section); }
  ~MutexStub() { ::DeleteCriticalSection(&section); }
  MutexStub(MutexStub const&) = delete;
  MutexStub& operator=(MutexStub const&) = delete;
};

// A kernel object closed with its stub.
struct HandleStub {
  HANDLE handle;
  explicit HandleStub(HANDLE handle) : handle(handle) { ZU_ASSERT(handle != nullptr, "handle"); }
  ~HandleStub() { ::CloseHandle(handle); }
  HandleStub(HandleStub const&) = delete;
  HandleStub& operator=(HandleStub const&) = delete;

  bool wait(unsigned int milliseconds) { return ::WaitForSingleObject(handle, milliseconds) == WAIT_OBJECT_0; }
};

struct SemaphoreStub : HandleStub {
  SemaphoreStub(unsigned int maximum, unsigned int initial)
      : HandleStub(::CreateSemaphoreW(nullptr, static_cast<LONG>(initial), static_cast<LONG>(maximum), nullptr)) {}
};

struct SyncPointStub : HandleStub {
  explicit SyncPointStub(bool autoReset) : HandleStub(::CreateEventW(nullptr, autoReset ? FALSE : TRUE, FALSE, nullptr)) {}
};

}  // namespace __

Mutex::Mutex() : stub_(boost::make_shared<__::MutexStub>()) {}

void Mutex::lock() { ::EnterCriticalSection(&stub_->section); }

bool Mutex::tryLock() { return ::TryEnterCriticalSection(&stub_->section) != 0; }

void Mutex::unlock() { ::LeaveCriticalSection(&stub_->section); }

ScopedLock::ScopedLock(Mutex const& mutex) : mutex_(mutex) { mutex_.lock(); }

ScopedLock::~ScopedLock() { mutex_.unlock(); }

Semaphore::Semaphore(unsigned int maximum, unsigned int initial) {
  // The system refuses these arguments itself; the assertion says so first.
  ZU_ASSERT(maximum != 0 && initial <= maximum && maximum <= 0x7FFFFFFFu, "handle");
  stub_ = boost::make_shared<__::SemaphoreStub>(maximum, initial);
}

void Semaphore::wait() { stub_->wait(INFINITE); }

bool Semaphore::wait(unsigned int milliseconds) { return stub_->wait(milliseconds); }

// Past the maximum the system refuses the release, and the count stays.
void Semaphore::signal() { ::ReleaseSemaphore(stub_->handle, 1, nullptr); }

SyncPoint::SyncPoint(bool autoReset) : stub_(boost::make_shared<__::SyncPointStub>(autoReset)) {}

void SyncPoint::wait() { stub_->wait(INFINITE); }

bool SyncPoint::wait(unsigned int milliseconds) { return stub_->wait(milliseconds); }

void SyncPoint::signal() { ::SetEvent(stub_->handle); }

void SyncPoint::reset() { ::ResetEvent(stub_->handle); }

}  // namespace sys
}  // namespace zu
