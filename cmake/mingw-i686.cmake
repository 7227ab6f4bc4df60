# Cross-compiling for 32-bit Windows (console programs for x86) with
# MinGW-w64. The posix threading model of the compilers is the one whose
# standard library has std::thread and std::mutex.
#
#   cmake --preset mingw
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TV940_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
