# 32-bit Windows with Debian's mingw-w64 (posix thread model). Its programs
# need 32-bit Wine (wine32 from Debian's i386 architecture) and a kernel
# that runs 32-bit Linux programs; where either is missing the emulator
# stays unset and the build only links.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZU_MINGW_TRIPLE i686-w64-mingw32)
# /usr/lib/wine/wine is the 32-bit loader; it only counts when it starts.
if(EXISTS /usr/lib/wine/wine)
  execute_process(COMMAND /usr/lib/wine/wine --version
    RESULT_VARIABLE zu_wine32_rc OUTPUT_QUIET ERROR_QUIET TIMEOUT 30)
  if(zu_wine32_rc EQUAL 0)
    set(ZU_WINE_LOADER /usr/lib/wine/wine)
  endif()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
