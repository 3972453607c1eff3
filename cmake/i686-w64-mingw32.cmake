# Cross-build for 32-bit Windows: the program as users run it.
#   cmake -B build-windows --toolchain cmake/i686-w64-mingw32.cmake
set(LUMAGATE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
# The loader that runs this build's programs under Wine.
set(LUMAGATE_WINE_LOADER /usr/lib/wine/wine CACHE FILEPATH "Wine loader for 32-bit programs")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
