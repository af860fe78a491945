# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (the posix-threads
# variant, which has std::thread and the C++23 library).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OSTREVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OSTREVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSTREVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OSTREVANE_MINGW_TRIPLE}-windres)

# Libraries and packages come from the target's own root, never the host's;
# programs (the host's tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${OSTREVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine, started again when Wine loses them at their start.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
endif()
