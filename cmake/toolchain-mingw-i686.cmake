# Cross build for 32-bit Windows (the shipped build) with Debian's mingw-w64.
# The -posix compilers carry std::thread and std::mutex; the -win32 ones of
# GCC 12 do not.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KAVRO_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
