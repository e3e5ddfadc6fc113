# Builds for i386, the word size of the real target, on an x86-64 Debian
# machine with g++-multilib: the same host compilers with -m32 on every
# compile and link.  Not a cross build (the tests run here), so the system
# name stays the host's.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)

# 32-bit libraries live in lib32 / i386-linux-gnu, never in the 64-bit
# folders.
set(FIND_LIBRARY_USE_LIB32_PATHS ON)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)
