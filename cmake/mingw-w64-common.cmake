# What both mingw-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and LUMO_MINGW_TRIPLET first.
#
# The -posix compilers are used because only their thread model provides
# std::thread, std::mutex and std::condition_variable. Every executable and
# DLL is linked with -static so that it imports only KERNEL32, msvcrt and the
# system DLLs it names, and runs without the toolchain's runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${LUMO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMO_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LUMO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# ctest runs the cross-built tests through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
