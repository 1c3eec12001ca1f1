# mingw-x86_64-posix.cmake - cross-build toolchain for 64-bit Windows with
# the POSIX-thread flavour of MinGW-w64, whose libstdc++ has std::thread,
# std::mutex and std::condition_variable (the test servers need them).
#
# Use: cmake -S . -B build-win64-tests -G Ninja \
#        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64-posix.cmake
# The "-posix" compilers are named explicitly, whatever the alternatives
# system makes of the plain names. Everything links statically, so the
# programs need only system DLLs (and run under Wine as they are).
set(ZUB_MINGW_POSIX_ONLY ON)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-x86_64.cmake)
