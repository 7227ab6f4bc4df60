# Cross-compiling for 32-bit Windows (console programs for x86) with
# MinGW-w64, for Windows 95 and 98 (where the card's driver runs) and later.
#
#   cmake --preset mingw
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TV940_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
