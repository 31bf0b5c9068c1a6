# Settings for Windows builds (mingw-w64, see cmake/toolchains/), included
# by the top-level CMakeLists.txt on WIN32 before any target is made.

# Windows looks for a program's DLLs in the program's own folder first, so
# every program and DLL of the build lands in one folder: the tests, the
# tools and the examples find zu.dll beside them.
if(NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
endif()

# Test programs are listed when ctest starts rather than after each link,
# so a build for a target whose programs cannot run here (32-bit Windows
# without 32-bit Wine) still builds, and a build never needs Wine.
if(NOT CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()

# What the Windows platform layer calls besides kernel32: Winsock, the
# adapter list, the registry and security, the known folders and COM's
# allocator, and the system's random numbers.
set(ZU_WINDOWS_SYSTEM_LIBRARIES ws2_32 iphlpapi advapi32 shell32 ole32 bcrypt)

# The compiler's runtime DLLs a program built here needs (libstdc++,
# libgcc, winpthread), found through the compiler itself.
set(ZU_WINDOWS_RUNTIME_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(rc EQUAL 0 AND IS_ABSOLUTE "${path}" AND EXISTS "${path}")
    get_filename_component(path "${path}" REALPATH)
    list(APPEND ZU_WINDOWS_RUNTIME_DLLS "${path}")
  endif()
endforeach()

# The library as Windows names it: zu.dll with its import library
# libzu.dll.a, linked with the system libraries above.
function(zu_windows_library target)
  set_target_properties(${target} PROPERTIES PREFIX "")
  target_link_libraries(${target} PRIVATE ${ZU_WINDOWS_SYSTEM_LIBRARIES})
endfunction()

# The outside libraries' DLLs, by the names the loaders open, with the
# DLLs they import themselves (libcrypto for SQLCipher and libssl).
set(ZU_WINDOWS_OUTSIDE_DLLS libexpat-1.dll libpcre2-8.dll libpcre2-posix.dll libsqlcipher-0.dll libmariadb.dll)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND ZU_WINDOWS_OUTSIDE_DLLS libssl-3-x64.dll libcrypto-3-x64.dll)
else()
  list(APPEND ZU_WINDOWS_OUTSIDE_DLLS libssl-3.dll libcrypto-3.dll)
endif()

# Installs beside zu.dll what a program needs to run from a plain folder:
# the compiler's runtime and the cross-built outside libraries that zu
# opens on first use (from scripts/cross_deps.sh's tree, ZU_CROSS_SYSROOT,
# which the toolchain file sets).
function(zu_windows_install_runtime)
  set(dlls ${ZU_WINDOWS_RUNTIME_DLLS})
  if(ZU_CROSS_SYSROOT)
    foreach(name ${ZU_WINDOWS_OUTSIDE_DLLS})
      if(EXISTS "${ZU_CROSS_SYSROOT}/bin/${name}")
        get_filename_component(dll "${ZU_CROSS_SYSROOT}/bin/${name}" REALPATH)
        list(APPEND dlls "${dll}")
      endif()
    endforeach()
  endif()
  if(dlls)
    install(FILES ${dlls} DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()
