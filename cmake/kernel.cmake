# The kernel build: every driver source compiled with kernel flags against
# the DDK headers (ntifs.h).  For now it produces a static library of all
# driver code.
find_path(QELMBAR_DDK_INCLUDE ntifs.h PATH_SUFFIXES ddk REQUIRED)

add_library(qelmbar_kernel STATIC ${QELMBAR_DRIVER_SOURCES})
target_include_directories(qelmbar_kernel PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(qelmbar_kernel SYSTEM PRIVATE ${QELMBAR_DDK_INCLUDE})
target_compile_definitions(qelmbar_kernel PRIVATE
  QELMBAR_KERNEL=1 _AMD64_ _KERNEL_MODE NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
target_compile_options(qelmbar_kernel PRIVATE
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -mno-stack-arg-probe -fstack-protector-strong
  -Wall -Wextra -Werror)
