# Shared by both mingw-w64 toolchain files; KAVRO_MINGW_TRIPLE names the target.
set(CMAKE_C_COMPILER ${KAVRO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVRO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVRO_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${KAVRO_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${KAVRO_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${KAVRO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the programs and the DLL need nothing but Windows' own DLLs
# (msvcrt.dll among them, whose malloc and free the DLL contract relies on).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# ctest runs the cross-built tests under Wine; the caller provides the
# prefix (WINEPREFIX and friends, see scripts/test-windows.sh).
if(KAVRO_MINGW_TRIPLE MATCHES "^i686")
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
