// Console control events on POSIX systems: signals, written into a pipe.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // pipe2
#endif

#include "platform/app_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

namespace zu {
namespace app {
namespace __ {
namespace platform {

namespace {

// The event pipe: written by the signal handler, read by the hook's thread.
// Made once and kept open until the process ends, as a signal may arrive at
// any time. Plain atomics: the handler may read them at any moment.
std::atomic<int> eventPipeRead{-1};
std::atomic<int> eventPipeWrite{-1};

// Only async-signal-safe calls here: one write() of one byte, errno kept.
extern "C" void onConsoleSignal(int signalNumber) {
  int const savedErrno = errno;
  unsigned char event = CONSOLE_CTRL_C;
  switch (signalNumber) {
    case SIGQUIT: event = CONSOLE_CTRL_BREAK; break;
    case SIGHUP: event = CONSOLE_CTRL_CLOSE; break;
    case SIGTERM: event = CONSOLE_CTRL_SHUTDOWN; break;
    default: break;
  }
  int const fd = eventPipeWrite.load(std::memory_order_acquire);
  // A full pipe drops the event: hundreds of unread events already ask for
  // the same shutdown.
  if (fd >= 0) {
    ssize_t const written = ::write(fd, &event, 1);
    (void)written;
  }
  errno = savedErrno;
}

void closeDescriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

bool installConsoleSignals() {
  // The caller serialises installation; a second call finds the pipe.
  if (eventPipeWrite.load() >= 0) return true;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  eventPipeRead.store(fds[0]);
  eventPipeWrite.store(fds[1], std::memory_order_release);

  struct sigaction action;
  action.sa_handler = onConsoleSignal;
  ::sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  bool ok = true;
  for (int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    if (::sigaction(signalNumber, &action, nullptr) != 0) ok = false;
  }
  return ok;
}

// A pipe of the reader's own: wake() writes a byte that is never drained.
struct ConsoleEventReader::Waker {
  int fds[2];
  Waker() {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
  }
  ~Waker() {
    closeDescriptor(fds[0]);
    closeDescriptor(fds[1]);
  }
};

ConsoleEventReader::ConsoleEventReader() : waker_(new Waker) {}

ConsoleEventReader::~ConsoleEventReader() {}

int ConsoleEventReader::next() {
  int const* const wake_ = waker_->fds;
  if (wake_[0] < 0) return -1;
  for (;;) {
    struct pollfd waits[2];
    waits[0].fd = wake_[0];
    waits[0].events = POLLIN;
    waits[0].revents = 0;
    waits[1].fd = eventPipeRead.load();
    waits[1].events = POLLIN;
    waits[1].revents = 0;
    int const ready = ::poll(waits, waits[1].fd >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    // The wake byte is never drained, so every later call returns at once.
    if (waits[0].revents) return -1;
    if (waits[1].revents & POLLIN) {
      unsigned char event = 0;
      ssize_t const got = ::read(waits[1].fd, &event, 1);
      if (got == 1) return event;
      // Another reader took it first.
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return -1;
    }
    if (waits[1].revents) return -1;
  }
}

void ConsoleEventReader::wake() {
  int const* const wake_ = waker_->fds;
  if (wake_[1] < 0) return;
  unsigned char const byte = 1;
  ssize_t const written = ::write(wake_[1], &byte, 1);
  (void)written;
}

}  // namespace platform
}  // namespace __
}  // namespace app
}  // namespace zu
