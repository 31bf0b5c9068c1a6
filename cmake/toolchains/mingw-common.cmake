# Shared part of the mingw-w64 toolchain files: the file for a target sets
# ZU_MINGW_TRIPLE (and ZU_WINE_LOADER when Wine can run its programs) and
# includes this one. Debian's mingw-w64 compilers with the posix thread
# model (<triple>-gcc-posix, <triple>-g++-posix) give std::thread and
# std::mutex on top of winpthreads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZU_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZU_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZU_MINGW_TRIPLE}-windres)

# Libraries cross-built for this target by scripts/cross_deps.sh are found
# in its cache, outside the source tree: ZU_CROSS_ROOT (cache variable or
# environment), else ${XDG_CACHE_HOME:-~/.cache}/zu-cross. Each target has
# one merged tree there, <root>/<triple>/sysroot (include, lib, bin).
if(NOT ZU_CROSS_ROOT)
  if(DEFINED ENV{ZU_CROSS_ROOT})
    set(ZU_CROSS_ROOT "$ENV{ZU_CROSS_ROOT}")
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(ZU_CROSS_ROOT "$ENV{XDG_CACHE_HOME}/zu-cross")
  else()
    set(ZU_CROSS_ROOT "$ENV{HOME}/.cache/zu-cross")
  endif()
endif()
set(ZU_CROSS_SYSROOT "${ZU_CROSS_ROOT}/${ZU_MINGW_TRIPLE}/sysroot")
# try_compile projects read this file again and must see the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZU_CROSS_ROOT)

# Headers, libraries and CMake packages come from the target's trees only,
# never from the build machine's /usr; programs (pkg-config, the tools) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH "${ZU_CROSS_SYSROOT}" "/usr/${ZU_MINGW_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The folders a program built here loads its DLLs from when it runs under
# Wine: the compiler's runtime (libstdc++, libgcc, winpthread) and the
# cross-built libraries. A project adds its own output folder.
set(ZU_MINGW_RUNTIME_DIRS)
foreach(dll libstdc++-6.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(rc EQUAL 0 AND IS_ABSOLUTE "${path}")
    get_filename_component(dir "${path}" DIRECTORY)
    get_filename_component(dir "${dir}" REALPATH)
    list(APPEND ZU_MINGW_RUNTIME_DIRS "${dir}")
  endif()
endforeach()
list(APPEND ZU_MINGW_RUNTIME_DIRS "${ZU_CROSS_SYSROOT}/bin")
list(REMOVE_DUPLICATES ZU_MINGW_RUNTIME_DIRS)

# Programs built here run through scripts/wine_run.sh (a prefix outside the
# tree, a resident server, no prompts), so add_test, gtest_discover_tests and
# ctest run them as they run native ones. Without a usable Wine the
# emulator stays unset and nothing can run: build with tests discovered at
# test time (gtest_discover_tests DISCOVERY_MODE PRE_TEST), not after each
# link.
# An emulator given on the command line is kept.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND ZU_WINE_LOADER AND EXISTS "${ZU_WINE_LOADER}")
  get_filename_component(ZU_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine_run.sh" ABSOLUTE)
  string(REPLACE ";" ":" dlls "${ZU_MINGW_RUNTIME_DIRS}")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${ZU_WINE_RUN};--wine=${ZU_WINE_LOADER};--dlls=${dlls}")
endif()
