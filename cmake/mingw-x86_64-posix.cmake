# mingw-x86_64-posix.cmake - cross-build toolchain for 64-bit Windows with
# the POSIX-thread flavour of MinGW-w64, whose libstdc++ has std::thread,
# std::mutex and std::condition_variable (the test servers need them).
#
# Use: cmake -S . -B build-win64-tests -G Ninja \
#        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64-posix.cmake
# The "-posix" compilers are named explicitly, whatever the alternatives
# system makes of the plain names. Everything links statically, so the
# programs need only system DLLs (and run under Wine as they are).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ZUB_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(ZUB_MINGW_CC NAMES ${ZUB_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(ZUB_MINGW_CXX NAMES ${ZUB_MINGW_TRIPLE}-g++-posix REQUIRED)
set(CMAKE_C_COMPILER ${ZUB_MINGW_CC})
set(CMAKE_CXX_COMPILER ${ZUB_MINGW_CXX})
find_program(CMAKE_RC_COMPILER NAMES ${ZUB_MINGW_TRIPLE}-windres)
find_program(CMAKE_DLLTOOL NAMES ${ZUB_MINGW_TRIPLE}-dlltool)

# Headers and libraries come only from the target's sysroot; programs run
# on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZUB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
