# Cross-builds Pitmix.exe for 32-bit Windows, XP SP3 and later, with
# Debian's mingw-w64.
#   cmake -S . -B build-windows32 --toolchain cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
