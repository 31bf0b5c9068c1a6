// Whether a process sits idle: the processor time all its threads use while
// the calling thread sleeps. A thread that spins instead of waiting shows
// up here whichever thread it is.
#ifndef ZU_TESTS_SUPPORT_IDLE_H
#define ZU_TESTS_SUPPORT_IDLE_H

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace zu {
namespace test {

// Processor time of the whole process in milliseconds (user and system,
// every thread); -1 when the system does not tell.
inline long long processMilliseconds() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  auto const ticks = [](FILETIME const& t) { return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return (ticks(kernel) + ticks(user)) / 10000;
#else
  rusage usage;
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  auto const ms = [](timeval const& t) { return static_cast<long long>(t.tv_sec) * 1000 + t.tv_usec / 1000; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
#endif
}

// The processor time (ms) the process uses while this thread sleeps for
// `span`; -1 when it cannot be measured. (Under Wine, time that Wine's
// server spends for a thread is not counted, so a spin there shows less.)
inline long long processorTimeWhileSleeping(std::chrono::milliseconds span) {
  long long const before = processMilliseconds();
  std::this_thread::sleep_for(span);
  long long const after = processMilliseconds();
  return before < 0 || after < 0 ? -1 : after - before;
}

}  // namespace test
}  // namespace zu

#endif
