# 32-bit Linux programs (i386) built on an x86-64 machine with Debian's
# multilib compilers (g++-multilib), so that the suites run as a 32-bit
# process does: pointers of 4 bytes and a 4 GiB address space.
#
#   cmake --preset linux32
#
# They run natively where the kernel runs 32-bit programs, or through
# qemu-i386-static registered with binfmt_misc (scripts/stages/linux32).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
