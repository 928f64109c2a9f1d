# mingw-w64 i686 with POSIX threads (std::thread, std::mutex and
# std::condition_variable need them): the PE build of the host platform and
# the tests that run the driver image under Wine.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
