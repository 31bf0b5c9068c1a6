// The platform layer of platform.h on Windows: the performance counter and
// the precise system time, threads through the C runtime's _beginthreadex,
// Win32 thread priorities, and what the property table shows about the
// program, the system and the user.
#include "platform/platform.h"

#include "win32/wide.h"

#include <shellapi.h>

#include <process.h>
#include <shlobj.h>

#include <new>
#include <utility>
#include <vector>

namespace zu {
namespace __ {
namespace platform {

namespace {

struct Counter {
  LARGE_INTEGER frequency;
  Counter() { ::QueryPerformanceFrequency(&frequency); }
};

Counter const& counter() {
  static Counter const value;
  return value;
}

// Nanoseconds of the performance counter, without overflowing the product.
std::uint64_t counterNanoseconds() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  std::uint64_t const frequency = static_cast<std::uint64_t>(counter().frequency.QuadPart);
  std::uint64_t const ticks = static_cast<std::uint64_t>(now.QuadPart);
  if (frequency == 0) return static_cast<std::uint64_t>(::GetTickCount64()) * 1000000u;
  return ticks / frequency * 1000000000u + ticks % frequency * 1000000000u / frequency;
}

struct ThreadStart {
  void (*entry)(void*);
  void* argument;
};

unsigned __stdcall threadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.entry(start.argument);
  return 0;
}

typedef VOID(WINAPI* PreciseTime)(LPFILETIME);

}  // namespace

unsigned int monotonicMilliseconds() { return static_cast<unsigned int>(counterNanoseconds() / 1000000u); }

std::uint64_t monotonicNanoseconds() { return counterNanoseconds(); }

std::int64_t wallClockNanoseconds() {
  // The precise clock where the system has it (Windows 8 and later).
  static PreciseTime const precise = reinterpret_cast<PreciseTime>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  FILETIME time;
  if (precise)
    precise(&time);
  else
    ::GetSystemTimeAsFileTime(&time);
  // 100-nanosecond units since 1601-01-01.
  std::int64_t const units = static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                                       time.dwLowDateTime);
  return (units - 116444736000000000LL) * 100;
}

void sleepMilliseconds(unsigned int milliseconds) { ::Sleep(milliseconds); }

void yieldThread() { ::SwitchToThread(); }

unsigned int currentThreadId() { return static_cast<unsigned int>(::GetCurrentThreadId()); }

unsigned int processId() { return static_cast<unsigned int>(::GetCurrentProcessId()); }

int threadPriority() {
  int const priority = ::GetThreadPriority(::GetCurrentThread());
  if (priority == THREAD_PRIORITY_ERROR_RETURN) return 0;
  return priority;
}

bool setThreadPriority(PriorityLevel level) {
  int const priority = level == PRIORITY_HIGHER  ? THREAD_PRIORITY_TIME_CRITICAL
                       : level == PRIORITY_LOWER ? THREAD_PRIORITY_BELOW_NORMAL
                                                 : THREAD_PRIORITY_NORMAL;
  return ::SetThreadPriority(::GetCurrentThread(), priority) != 0;
}

std::string systemMessage(unsigned int code) {
  if (code == 0) return std::string();
  return ::zu::__::win32::errorText(code);
}

bool startThread(void (*entry)(void*), void* argument, unsigned int stackSize) {
  ThreadStart* start = new (std::nothrow) ThreadStart{entry, argument};
  if (!start) return false;
  // The size reserves the stack; the system commits pages as it grows.
  std::uintptr_t const thread =
      ::_beginthreadex(nullptr, stackSize, threadTrampoline, start, stackSize ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0,
                       nullptr);
  if (thread == 0) {
    delete start;
    return false;
  }
  ::CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}

namespace {

// The calls of one thread, in its fiber-local slot: the system runs the
// slot's callback when the thread ends, before the DLLs hear of it (and so
// before the C runtime frees the thread's thread_local storage).
struct ThreadExitCalls {
  std::vector<std::pair<void (*)(void*), void*>> calls;
};

void WINAPI runThreadExitCalls(void* data) {
  ThreadExitCalls* const list = static_cast<ThreadExitCalls*>(data);
  if (!list) return;
  while (!list->calls.empty()) {
    std::pair<void (*)(void*), void*> const call = list->calls.back();
    list->calls.pop_back();
    call.first(call.second);
  }
  delete list;
}

DWORD threadExitSlot() {
  static DWORD const slot = ::FlsAlloc(runThreadExitCalls);
  return slot;
}

}  // namespace

void atThreadExit(void (*call)(void*), void* argument) {
  DWORD const slot = threadExitSlot();
  if (slot == FLS_OUT_OF_INDEXES) return;  // the object outlives its thread
  ThreadExitCalls* list = static_cast<ThreadExitCalls*>(::FlsGetValue(slot));
  if (!list) {
    list = new ThreadExitCalls;
    if (!::FlsSetValue(slot, list)) {
      delete list;
      return;
    }
  }
  list->calls.emplace_back(call, argument);
}

std::size_t currentThreadStackSize() {
  // The reservation holding this frame, region by region from its base.
  MEMORY_BASIC_INFORMATION region;
  char const here = 0;
  if (::VirtualQuery(&here, &region, sizeof region) == 0) return 0;
  char const* const base = static_cast<char const*>(region.AllocationBase);
  char const* at = base;
  std::size_t size = 0;
  while (::VirtualQuery(at, &region, sizeof region) != 0 && region.AllocationBase == base) {
    size += region.RegionSize;
    at += region.RegionSize;
  }
  return size;
}

bool atFork(void (*)(), void (*)(), void (*)()) { return true; }

namespace {
void (*exitHandler)() = nullptr;
int __cdecl runExitHandler() {
  if (exitHandler) exitHandler();
  return 0;
}
}  // namespace

// The C runtime DLL's own table of exit handlers runs in exit(), before
// ExitProcess ends the other threads; a module's atexit would run only at
// its unload, after that. The module holding the handler is pinned so that
// the entry never outlives it.
bool atProcessExit(void (*handler)()) {
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void const*>(&runExitHandler)), &self))
    return false;
  HMODULE const crt = ::GetModuleHandleW(L"msvcrt.dll");
  typedef int(__cdecl * Handler)();
  typedef Handler(__cdecl * OnExit)(Handler);
  OnExit const onExit = crt ? reinterpret_cast<OnExit>(reinterpret_cast<void*>(::GetProcAddress(crt, "_onexit"))) : nullptr;
  if (!onExit) return false;
  exitHandler = handler;
  return onExit(&runExitHandler) != nullptr;
}

std::string executablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD const n = ::GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) return ::zu::__::win32::narrow(buffer.c_str(), static_cast<int>(n));
    buffer.resize(buffer.size() * 2);
  }
}

// The arguments as the system splits the command line (the C runtime's
// rules), joined so that the library's command-line tokeniser gives each
// back unchanged: white space, quotes and backslashes get a backslash, an
// empty argument becomes "". The raw line would lose every backslash of a
// path to that tokeniser.
std::string commandLine() {
  int count = 0;
  LPWSTR* const words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!words) return ::zu::__::win32::narrow(::GetCommandLineW());
  std::string line;
  for (int i = 0; i < count; ++i) {
    std::string const argument = ::zu::__::win32::narrow(words[i]);
    if (i > 0) line += ' ';
    if (argument.empty()) {
      line += "\"\"";
      continue;
    }
    for (char c : argument) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '"' || c == '\'' || c == '\\')
        line += '\\';
      line += c;
    }
  }
  ::LocalFree(words);
  return line;
}

namespace {

typedef LONG(WINAPI* GetVersionCall)(OSVERSIONINFOEXW*);

// The version the system really has: GetVersionEx answers for the version
// a program's manifest names, RtlGetVersion does not.
OSVERSIONINFOEXW systemVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  GetVersionCall const call = reinterpret_cast<GetVersionCall>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (!call || call(&info) != 0) {
    info = OSVERSIONINFOEXW{};
    info.dwOSVersionInfoSize = sizeof info;
  }
  return info;
}

std::string releaseName(OSVERSIONINFOEXW const& info) {
  DWORD const major = info.dwMajorVersion, minor = info.dwMinorVersion;
  if (major == 10) return info.dwBuildNumber >= 22000 ? "11" : "10";
  if (major == 6 && minor == 3) return "8.1";
  if (major == 6 && minor == 2) return "8";
  if (major == 6 && minor == 1) return "7";
  if (major == 6 && minor == 0) return "Vista";
  if (major == 5 && minor == 2) return "Server 2003";
  if (major == 5 && minor == 1) return "XP";
  if (major == 5 && minor == 0) return "2000";
  return "NT " + std::to_string(major) + "." + std::to_string(minor);
}

}  // namespace

SystemDescription describeSystem() {
  OSVERSIONINFOEXW const info = systemVersion();
  SystemDescription description;
  description.name = "Windows " + releaseName(info);
  std::string const servicePack = ::zu::__::win32::narrow(info.szCSDVersion);
  if (!servicePack.empty()) description.name += " " + servicePack;
  description.version = "v" + std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
                        std::to_string(info.dwBuildNumber);
  SYSTEM_INFO system;
  ::GetNativeSystemInfo(&system);
  switch (system.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: description.arch = "x64"; break;
    case PROCESSOR_ARCHITECTURE_INTEL: description.arch = "x86"; break;
    case PROCESSOR_ARCHITECTURE_ARM:
#ifdef PROCESSOR_ARCHITECTURE_ARM64
    case PROCESSOR_ARCHITECTURE_ARM64:
#endif
      description.arch = "arm";
      break;
    default: description.arch = "?"; break;
  }
  return description;
}

std::string userName() {
  wchar_t buffer[257];
  DWORD size = sizeof buffer / sizeof buffer[0];
  if (!::GetUserNameW(buffer, &size) || size == 0) return std::string();
  return ::zu::__::win32::narrow(buffer);  // the size counts the ending zero
}

std::string userDocuments() {
  wchar_t* path = nullptr;
  std::string documents;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &path)) && path)
    documents = ::zu::__::win32::narrow(path);
  if (path) ::CoTaskMemFree(path);
  return documents;
}

std::string temporaryDirectory() {
  wchar_t buffer[MAX_PATH + 2];
  DWORD const n = ::GetTempPathW(sizeof buffer / sizeof buffer[0], buffer);
  if (n == 0 || n >= sizeof buffer / sizeof buffer[0]) return std::string();
  std::string path = ::zu::__::win32::narrow(buffer, static_cast<int>(n));
  // Without the trailing separator, as every folder the library gives.
  if (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

}  // namespace platform
}  // namespace __
}  // namespace zu
