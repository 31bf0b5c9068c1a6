# 64-bit Windows with Debian's mingw-w64 (posix thread model); programs run
# under wine64. Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZU_MINGW_TRIPLE x86_64-w64-mingw32)
set(ZU_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
