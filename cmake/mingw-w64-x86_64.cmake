# Cross-compiles for 64-bit Windows with mingw-w64 and runs the results under Wine.
# The posix-threads flavour is required: GoogleTest needs std::mutex, which the win32
# flavour of GCC 12 lacks. With -static it adds no DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# _INIT, not the cache variable: a -DCMAKE_EXE_LINKER_FLAGS on the command line would
# otherwise silently drop -static and the binaries would need libstdc++/libgcc DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(WINE_EXECUTABLE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
