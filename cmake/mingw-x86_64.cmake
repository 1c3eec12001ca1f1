# mingw-x86_64.cmake - cross-build toolchain for 64-bit Windows with MinGW-w64.
#
# Use: cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
# The compilers are taken from PATH; the "-posix" variants are used when the
# plain names are missing. Everything links statically against the GCC
# runtime, so the DLL needs only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ZUB_MINGW_TRIPLE x86_64-w64-mingw32)

# mingw-x86_64-posix.cmake sets ZUB_MINGW_POSIX_ONLY to take only the
# "-posix" compilers.
if(ZUB_MINGW_POSIX_ONLY)
  find_program(ZUB_MINGW_CC NAMES ${ZUB_MINGW_TRIPLE}-gcc-posix REQUIRED)
  find_program(ZUB_MINGW_CXX NAMES ${ZUB_MINGW_TRIPLE}-g++-posix REQUIRED)
else()
  find_program(ZUB_MINGW_CC NAMES ${ZUB_MINGW_TRIPLE}-gcc ${ZUB_MINGW_TRIPLE}-gcc-posix REQUIRED)
  find_program(ZUB_MINGW_CXX NAMES ${ZUB_MINGW_TRIPLE}-g++ ${ZUB_MINGW_TRIPLE}-g++-posix REQUIRED)
endif()
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
