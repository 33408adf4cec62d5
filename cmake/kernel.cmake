# The kernel build: every driver source compiled with kernel flags against
# the DDK headers (ntifs.h) into a static library, and linked with the
# image entry point into qelmbar.sys, a native x64 image that imports only
# from ntoskrnl.exe and hal.dll.
find_path(QELMBAR_DDK_INCLUDE ntifs.h PATH_SUFFIXES ddk REQUIRED)

set(QELMBAR_KERNEL_DEFINITIONS
  QELMBAR_KERNEL=1 _AMD64_ _KERNEL_MODE NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
set(QELMBAR_KERNEL_OPTIONS
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -mno-stack-arg-probe -fstack-protector-strong
  -Wall -Wextra -Werror)

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
target_link_options(qelmbar_sys PRIVATE
  -nostdlib -nostartfiles -shared
  -Wl,--subsystem,native -Wl,--entry,GsDriverEntry
  -Wl,--image-base,0x140000000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--gc-sections -Wl,--no-insert-timestamp)
target_link_libraries(qelmbar_sys PRIVATE qelmbar_kernel ntoskrnl hal gcc)

# The image must import from the kernel and the HAL only.
add_custom_command(TARGET qelmbar_sys POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:qelmbar_sys> -DOBJDUMP=${QELMBAR_MINGW_PREFIX}-objdump
          -P ${CMAKE_SOURCE_DIR}/cmake/check_imports.cmake
  VERBATIM)

# The Windows side of the Wine scenarios (test driver and Win32 client).
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)
