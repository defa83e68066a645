# The MinGW-w64 cross compilers of Debian (package g++-mingw-w64-x86-64-posix) for 64-bit Windows.
# The "posix" flavour is the one with std::thread and std::mutex; the plain "win32" flavour lacks
# them. Shared by the two Windows builds:
#   cmake/mingw-w64.cmake     the Qt-free layers and their tests, static (scripts/wine-test)
#   scripts/windows-build     the whole program against Qt for MinGW, whose toolchain file loads
#                             this one (QT_CHAINLOAD_TOOLCHAIN_FILE)
# Nothing is defined here that an MSVC build would lack: the Win32 sources say themselves which
# API names they use.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LAN2COM_MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "Target triplet of the MinGW-w64 tools")

find_program(CMAKE_C_COMPILER NAMES ${LAN2COM_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${LAN2COM_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${LAN2COM_MINGW_TRIPLET}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${LAN2COM_MINGW_TRIPLET}-gcc-ar-posix ${LAN2COM_MINGW_TRIPLET}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${LAN2COM_MINGW_TRIPLET}-gcc-ranlib-posix ${LAN2COM_MINGW_TRIPLET}-ranlib REQUIRED)

# Headers and libraries of the target only; programs of the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${LAN2COM_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Run the test programs of this build under Wine where CMake wants to run them.
find_program(LAN2COM_WINE NAMES wine wine64)
if(LAN2COM_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LAN2COM_WINE})
endif()
