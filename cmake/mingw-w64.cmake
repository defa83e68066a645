# Cross build of the Qt-free layers and their tests as static 64-bit Windows programs, with the
# MinGW-w64 compilers of Debian (cmake/mingw-w64-tools.cmake).
#
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-mingw -j2      # -> build-mingw/tests/lan2com_tests.exe
#
# The results run on 64-bit Windows and under Wine (scripts/wine-test). The whole program, window
# included, is built by scripts/windows-build against Qt for MinGW.

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-tools.cmake)

# One self-contained .exe: no libstdc++, libgcc or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian offers no Qt for MinGW: only the Qt-free layers here.
set(LAN2COM_WITH_QT OFF CACHE BOOL "Build the window, the program and the Qt-based tests" FORCE)
