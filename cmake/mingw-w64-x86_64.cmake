# Cross build for 64-bit Windows with the MinGW-w64 GCC of a Debian/Ubuntu
# host (packages g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64):
#
#   cmake -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The "-posix" compilers use the POSIX thread model, which std::thread and
# std::mutex need on MinGW. The C++ runtime and winpthread are linked
# statically, so reraruvozari.dll and reraruvozari.exe need only system DLLs.
# RRV_MINGW_PREFIX (default x86_64-w64-mingw32) selects another triplet.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

if(NOT RRV_MINGW_PREFIX)
  set(RRV_MINGW_PREFIX x86_64-w64-mingw32)
endif()
# Passed on to try_compile projects, which read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RRV_MINGW_PREFIX)

find_program(RRV_MINGW_CC NAMES ${RRV_MINGW_PREFIX}-gcc-posix ${RRV_MINGW_PREFIX}-gcc)
find_program(RRV_MINGW_CXX NAMES ${RRV_MINGW_PREFIX}-g++-posix ${RRV_MINGW_PREFIX}-g++)
find_program(RRV_MINGW_RC NAMES ${RRV_MINGW_PREFIX}-windres windres)
if(NOT RRV_MINGW_CC OR NOT RRV_MINGW_CXX)
  message(FATAL_ERROR "MinGW-w64 compilers ${RRV_MINGW_PREFIX}-gcc-posix/-g++-posix not found "
                      "(Debian: apt-get install g++-mingw-w64-x86-64-posix)")
endif()
set(CMAKE_C_COMPILER ${RRV_MINGW_CC})
set(CMAKE_CXX_COMPILER ${RRV_MINGW_CXX})
if(RRV_MINGW_RC)
  set(CMAKE_RC_COMPILER ${RRV_MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${RRV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc_s_seh-1.dll, libstdc++-6.dll or libwinpthread-1.dll beside the
# binaries: every executable and DLL of the build links them in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# Lets a Linux host run the Windows programs of the build (try_run, tests).
find_program(RRV_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(RRV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RRV_WINE})
endif()
