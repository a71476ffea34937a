# Cross-compiles for 32-bit x86 Windows with Debian's MinGW-w64 and runs the
# results under Wine. Usage:
#   cmake -S . -B build-win32 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
# Machine set-up: tools/setup-win32.sh (root), then tools/wine-prefix.sh start.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(PFNDB_MINGW_TRIPLE i686-w64-mingw32)

# The posix-thread variants: the win32 ones lack std::thread and std::mutex,
# which GoogleTest needs.
set(CMAKE_C_COMPILER ${PFNDB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PFNDB_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PFNDB_MINGW_TRIPLE}-windres)

# Without -static the exes need libstdc++-6.dll, libgcc_s_dw2-1.dll and
# libwinpthread-1.dll beside them, on Windows as under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/${PFNDB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

get_filename_component(PFNDB_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${PFNDB_WINE_RUN}")
