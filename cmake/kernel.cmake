# The kernel build: every driver source compiled with kernel flags against
# the DDK headers (ntifs.h) into a static library, and linked with the
# image entry point into qelmbar.sys, a native x64 image that imports only
# from ntoskrnl.exe and hal.dll, with its PDB (qelmbar.pdb) beside it.
find_path(QELMBAR_DDK_INCLUDE ntifs.h PATH_SUFFIXES ddk REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(QELMBAR_OBJDUMP NAMES ${QELMBAR_MINGW_PREFIX}-objdump REQUIRED)
find_program(QELMBAR_PDBUTIL NAMES llvm-pdbutil-14 llvm-pdbutil REQUIRED)
find_program(QELMBAR_LLVM_OBJDUMP NAMES llvm-objdump-14 llvm-objdump REQUIRED)

# Windows 7 (6.1) is the oldest Windows the driver runs on.
set(QELMBAR_KERNEL_DEFINITIONS
  QELMBAR_KERNEL=1 _AMD64_ _KERNEL_MODE NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
# -funwind-tables: every routine gets its unwind data (.pdata/.xdata), which
# the kernel needs to walk a stack in a crash or an exception; -g
# -gcodeview: the debug information lld turns into the PDB;
# -fstack-usage: a .su file beside every object, read by the stack budget.
set(QELMBAR_KERNEL_OPTIONS
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -mno-stack-arg-probe -fstack-protector-strong -funwind-tables
  -g -gcodeview -fstack-usage
  -Wall -Wextra -Werror)
# scripts/analyze.sh runs clang-tidy on the compile commands of this build.
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
# No C++ runtime and none of the Win32 libraries a program gets by default.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# The link of a driver image: native subsystem, entry point ENTRY, no
# export table (nothing is exported: an executable, not a DLL, and lld told
# so), OS and subsystem versions 6.1, ASLR with high-entropy addresses and
# NX, no Terminal Server flag (a driver has none).  The time stamp and the
# checksum are set after the link (cmake/check_image.py stamp).
function(qelmbar_driver_image target entry)
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles
    -Wl,--subsystem,native -Wl,--entry,${entry}
    -Wl,--image-base,0x140000000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--major-os-version,6 -Wl,--minor-os-version,1
    -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,1
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--exclude-all-symbols
    -Wl,--gc-sections -Wl,--no-insert-timestamp
    -Wl,--Xlink=-driver -Wl,--Xlink=-tsaware:no -Wl,--Xlink=-merge:.buildid=.rdata)
endfunction()

add_library(qelmbar_kernel STATIC ${QELMBAR_DRIVER_SOURCES})
target_include_directories(qelmbar_kernel PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(qelmbar_kernel SYSTEM PRIVATE ${QELMBAR_DDK_INCLUDE})
target_compile_definitions(qelmbar_kernel PRIVATE ${QELMBAR_KERNEL_DEFINITIONS})
target_compile_options(qelmbar_kernel PRIVATE ${QELMBAR_KERNEL_OPTIONS})

add_executable(qelmbar_sys ${CMAKE_SOURCE_DIR}/driver/kernel/image_entry.cpp)
set_target_properties(qelmbar_sys PROPERTIES OUTPUT_NAME qelmbar SUFFIX .sys)
target_include_directories(qelmbar_sys PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(qelmbar_sys SYSTEM PRIVATE ${QELMBAR_DDK_INCLUDE})
target_compile_definitions(qelmbar_sys PRIVATE ${QELMBAR_KERNEL_DEFINITIONS})
target_compile_options(qelmbar_sys PRIVATE ${QELMBAR_KERNEL_OPTIONS})
qelmbar_driver_image(qelmbar_sys GsDriverEntry)
# The PDB beside the image; the image names it without a directory, so a
# debugger finds it on its symbol path wherever the build ran.
target_link_options(qelmbar_sys PRIVATE
  -Wl,--pdb=${CMAKE_BINARY_DIR}/qelmbar.pdb -Wl,--Xlink=-pdbaltpath:%_PDB%)
target_link_libraries(qelmbar_sys PRIVATE qelmbar_kernel ntoskrnl hal)
set_property(TARGET qelmbar_sys APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${CMAKE_BINARY_DIR}/qelmbar.pdb)

# After every build, linked anew or not: the time stamp of the checked-out
# commit and the checksum (rewritten only when they change), the image check
# (docs/architecture.md, "The image") and the stack budget.
add_custom_target(qelmbar_image_checks ALL
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/check_image.py stamp
          --source ${CMAKE_SOURCE_DIR} $<TARGET_FILE:qelmbar_sys>
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/check_image.py check --source ${CMAKE_SOURCE_DIR}
          --pdb ${CMAKE_BINARY_DIR}/qelmbar.pdb --pdbutil ${QELMBAR_PDBUTIL} $<TARGET_FILE:qelmbar_sys>
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/stack_budget.py --quiet
          --objdump ${QELMBAR_LLVM_OBJDUMP}
          $<TARGET_OBJECTS:qelmbar_kernel> $<TARGET_OBJECTS:qelmbar_sys>
  COMMENT "qelmbar.sys: time stamp and checksum, image check, stack budget"
  COMMAND_EXPAND_LISTS
  VERBATIM)
add_dependencies(qelmbar_image_checks qelmbar_sys)

# The tests of these checks themselves, on the image just built:
#   ctest --test-dir build/kernel
enable_testing()
add_test(NAME build_checks
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/test_build_checks.py ${CMAKE_BINARY_DIR})

# The Windows side of the Wine scenarios (test driver and Win32 client).
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)
