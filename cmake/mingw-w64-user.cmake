# Toolchain for the Windows build of the qelmbar tool: x64 Windows user
# mode through mingw-w64, linked statically so that qelmbar.exe needs no
# DLL beyond the system's.  Used by tools/win32 (its own project):
#   cmake -S tools/win32 -B build/win-tool -G Ninja
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QELMBAR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QELMBAR_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${QELMBAR_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${QELMBAR_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QELMBAR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
