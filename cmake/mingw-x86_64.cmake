# Cross-compiling for 64-bit Windows with MinGW-w64: the same sources as the
# 32-bit build, for running the Windows tests where 32-bit programs cannot be
# run (a kernel without 32-bit emulation cannot start the 32-bit Wine).
#
#   cmake --preset mingw64
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TV940_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
