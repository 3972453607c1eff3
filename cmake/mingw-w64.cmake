# What both mingw-w64 toolchains share. The posix thread model gives the
# standard library's threads and mutexes, which GoogleTest uses.
set(CMAKE_SYSTEM_NAME Windows)
find_program(CMAKE_C_COMPILER NAMES ${LUMAGATE_MINGW_TRIPLE}-gcc-posix ${LUMAGATE_MINGW_TRIPLE}-gcc
             REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${LUMAGATE_MINGW_TRIPLE}-g++-posix ${LUMAGATE_MINGW_TRIPLE}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${LUMAGATE_MINGW_TRIPLE}-windres)
find_program(CMAKE_MC_COMPILER NAMES ${LUMAGATE_MINGW_TRIPLE}-windmc REQUIRED)
find_program(LUMAGATE_OBJDUMP NAMES ${LUMAGATE_MINGW_TRIPLE}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${LUMAGATE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and the thread library go into the .exe, so that it
# needs nothing but the DLLs every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")

# CTest runs the Windows programs under Wine, each inside a private network
# namespace with a wineserver of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-sandbox run)
