# Cross build for 64-bit Windows with Debian's MinGW-w64. The -posix compilers
# are required: the win32-threads variant has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TB_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TB_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TB_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TB_MINGW_PREFIX}-windres)
set(CMAKE_AR ${TB_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TB_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

# Headers and libraries come only from the MinGW sysroot and the folders the
# build names itself, never from the host's /usr/include or /usr/lib.
set(CMAKE_FIND_ROOT_PATH /usr/${TB_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must answer for the MinGW sysroot (and the folders named in
# PKG_CONFIG_PATH), or a cross build would pick up the host's zlib.
set(PKG_CONFIG_EXECUTABLE ${TB_MINGW_PREFIX}-pkg-config CACHE FILEPATH "")
