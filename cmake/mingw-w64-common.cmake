# What both Windows toolchain files share: the MinGW-w64 posix-thread compilers of the
# triplet KQ_MINGW_TRIPLET, its sysroot, and Wine to run the test programs.
set(CMAKE_SYSTEM_NAME Windows)

# The posix-thread flavour: the win32 one has no std::mutex, which GoogleTest needs.
set(CMAKE_C_COMPILER   ${KQ_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KQ_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${KQ_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KQ_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
