# Cross build of the Qt-free layers and their tests as static 64-bit Windows programs, with the
# MinGW-w64 compilers of Debian (package g++-mingw-w64-x86-64-posix). The "posix" flavour is the
# one with std::thread and std::mutex; the plain "win32" flavour lacks them.
#
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-mingw -j2      # -> build-mingw/tests/lan2com_tests.exe
#
# The results run on 64-bit Windows and under Wine (scripts/wine-test). Nothing is defined here
# that an MSVC build would lack: the Win32 sources say themselves which API names they use.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LAN2COM_MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "Target triplet of the MinGW-w64 tools")

find_program(CMAKE_C_COMPILER NAMES ${LAN2COM_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${LAN2COM_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${LAN2COM_MINGW_TRIPLET}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${LAN2COM_MINGW_TRIPLET}-gcc-ar-posix ${LAN2COM_MINGW_TRIPLET}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${LAN2COM_MINGW_TRIPLET}-gcc-ranlib-posix ${LAN2COM_MINGW_TRIPLET}-ranlib REQUIRED)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${LAN2COM_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: no libstdc++, libgcc or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The window needs Qt 6, which Debian does not offer for MinGW: only the Qt-free layers here.
set(LAN2COM_WITH_QT OFF CACHE BOOL "Build the window, the program and the Qt-based tests" FORCE)

# Run the test programs of this build under Wine where CMake wants to run them.
find_program(LAN2COM_WINE NAMES wine wine64)
if(LAN2COM_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LAN2COM_WINE})
endif()
