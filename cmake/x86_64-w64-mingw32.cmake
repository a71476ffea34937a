# Cross-compiles for 64-bit x86 Windows with Debian's MinGW-w64 and runs the
# results under Wine64, natively (no emulation of 32-bit code). Usage:
#   cmake --preset win64
# Machine set-up: tools/setup-win32.sh (root), then
# PFNDB_WINEARCH=win64 tools/wine-prefix.sh start.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(PFNDB_MINGW_TRIPLE x86_64-w64-mingw32)

# The posix-thread variants: the win32 ones lack std::thread and std::mutex,
# which GoogleTest needs.
set(CMAKE_C_COMPILER ${PFNDB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PFNDB_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PFNDB_MINGW_TRIPLE}-windres)

# Without -static the exes need libstdc++-6.dll, libgcc_s_seh-1.dll and
# libwinpthread-1.dll beside them, on Windows as under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/${PFNDB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The 64-bit prefix (tools/wine64-run), not the 32-bit one.
get_filename_component(PFNDB_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../tools/wine64-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${PFNDB_WINE_RUN}")
