// Console control events on Windows: SetConsoleCtrlHandler's handler runs
// on a thread of the system's and queues each event for the readers.
#include "platform/app_platform.h"

#include "win32/wide.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace zu {
namespace app {
namespace __ {
namespace platform {

namespace {

// The process-wide queue: events in order, and a semaphore counting them.
struct EventQueue {
  std::mutex mutex;
  std::deque<unsigned char> events;
  HANDLE available = ::CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
};

EventQueue& queue() {
  static EventQueue* const instance = new EventQueue;  // the handler may run until the process ends
  return *instance;
}

std::atomic<bool> installed{false};

BOOL WINAPI onConsoleEvent(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      // The event numbers are the system's own.
      EventQueue& q = queue();
      {
        std::lock_guard<std::mutex> lock(q.mutex);
        q.events.push_back(static_cast<unsigned char>(type));
      }
      ::ReleaseSemaphore(q.available, 1, nullptr);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

bool installConsoleSignals() {
  if (installed.load()) return true;
  if (!queue().available || !::SetConsoleCtrlHandler(onConsoleEvent, TRUE)) return false;
  installed.store(true);
  return true;
}

// A manual-reset event: once set, every wait ends at once.
struct ConsoleEventReader::Waker {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Waker() {
    if (event) ::CloseHandle(event);
  }
};

ConsoleEventReader::ConsoleEventReader() : waker_(new Waker) {}

ConsoleEventReader::~ConsoleEventReader() {}

int ConsoleEventReader::next() {
  EventQueue& q = queue();
  if (!waker_->event || !q.available) return -1;
  HANDLE const waits[2] = {waker_->event, q.available};
  for (;;) {
    // The wake event first: a woken reader takes no more events.
    DWORD const result = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0 + 1) return -1;
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.events.empty()) continue;
    int const event = q.events.front();
    q.events.pop_front();
    return event;
  }
}

void ConsoleEventReader::wake() {
  if (waker_->event) ::SetEvent(waker_->event);
}

}  // namespace platform
}  // namespace __
}  // namespace app
}  // namespace zu
