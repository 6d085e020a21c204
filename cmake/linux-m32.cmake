# Builds for 32-bit x86 Linux with the host's g++ and -m32 (package
# g++-multilib), so that the library and its tests run with 4-byte addresses:
#
#   cmake -S . -B build-m32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/linux-m32.cmake
#
# GoogleTest is then built from /usr/src/googletest: Debian's prebuilt
# library is 64-bit only.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
