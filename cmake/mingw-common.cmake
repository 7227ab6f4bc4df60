# What both MinGW-w64 toolchain files share; TV940_MINGW_TRIPLET names the
# target.
#
# The compilers of the win32 threads model: their runtime locks and threads
# are the system's own, where the posix model's runtime needs functions that
# Windows 95 and 98 lack. Their standard library has no std::thread or
# std::mutex; code that runs on Windows uses the seam's threads and locks.
set(CMAKE_C_COMPILER ${TV940_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TV940_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${TV940_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TV940_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs: no MinGW runtime DLLs to ship beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine, through a wrapper that picks the 32- or
# 64-bit loader and keeps a Wine prefix in the build directory.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../tests/e2e/windows-run.sh)
