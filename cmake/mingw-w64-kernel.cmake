# Toolchain for the kernel build: x64 Windows through clang and lld for the
# mingw-w64 target, against mingw-w64's headers, DDK (ntifs.h) and import
# libraries.  clang emits CodeView debug information and lld writes the PDB
# beside the image, which a kernel debugger loads; the GNU toolchain of
# mingw-w64 cannot do either.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QELMBAR_MINGW_PREFIX x86_64-w64-mingw32)
set(QELMBAR_MINGW_SYSROOT /usr/${QELMBAR_MINGW_PREFIX})

find_program(QELMBAR_CLANG NAMES clang-14 clang REQUIRED)
find_program(QELMBAR_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER ${QELMBAR_CLANG})
set(CMAKE_CXX_COMPILER ${QELMBAR_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${QELMBAR_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${QELMBAR_MINGW_PREFIX})
set(CMAKE_RC_COMPILER ${QELMBAR_MINGW_PREFIX}-windres)
# The sysroot keeps the host's own headers and libraries out of the search
# paths: only mingw-w64's are seen.
set(CMAKE_SYSROOT ${QELMBAR_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${QELMBAR_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang does not find the runtime and C++ libraries of mingw-w64's gcc on
# Debian: the link is told where they are, and the user-mode programs of
# this build (the Wine client) take the C++ headers from there too.
execute_process(COMMAND ${QELMBAR_MINGW_PREFIX}-g++ -print-libgcc-file-name
                OUTPUT_VARIABLE QELMBAR_MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT QELMBAR_MINGW_LIBGCC)
  message(FATAL_ERROR "${QELMBAR_MINGW_PREFIX}-g++ is missing (scripts/setup.sh installs it)")
endif()
get_filename_component(QELMBAR_MINGW_GCC_DIR "${QELMBAR_MINGW_LIBGCC}" DIRECTORY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${QELMBAR_MINGW_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${QELMBAR_MINGW_GCC_DIR}")

set(QELMBAR_KERNEL ON CACHE BOOL "Cross-build the driver for the Windows kernel" FORCE)
