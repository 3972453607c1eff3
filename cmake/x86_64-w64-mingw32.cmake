# Cross-build for 64-bit Windows: the same sources, for machines that run
# only 64-bit programs under Wine.
#   cmake -B build-windows-x64 --toolchain cmake/x86_64-w64-mingw32.cmake
set(LUMAGATE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(LUMAGATE_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader for 64-bit programs")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
