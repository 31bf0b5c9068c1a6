# The Windows package, made by "cpack" from a Windows build: one zip,
# zu-<version>-win64.zip (win32 for a 32-bit build), whose folder holds
#   bin/      zu.dll, the outside libraries' DLLs that were cross-built, the
#             compiler's runtime DLLs, sndconv.exe and zuserve.exe
#   lib/      the import library libzu.dll.a, the CMake package (lib/cmake/zu)
#             and zu.pc (lib/pkgconfig)
#   include/  the headers
# Unzipped anywhere, the programs run from bin/ and a program built with
# mingw-w64 finds zu with find_package(zu) or pkg-config.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ZU_WINDOWS_SYSTEM_NAME win64)
else()
  set(ZU_WINDOWS_SYSTEM_NAME win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME zu)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The zu developers")
set(CPACK_SYSTEM_NAME ${ZU_WINDOWS_SYSTEM_NAME})
set(CPACK_PACKAGE_FILE_NAME zu-${PROJECT_VERSION}-${ZU_WINDOWS_SYSTEM_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION .)
# The DLLs copied from the compiler and the cross-built libraries carry
# their debugging sections (libstdc++ alone 20 MB of them): the package
# leaves those out, as it does for its own programs.
if(CMAKE_STRIP)
  install(CODE "
    file(GLOB dlls \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/*.dll\")
    foreach(dll \${dlls})
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug \"\${dll}\")
    endforeach()")
endif()
include(CPack)
