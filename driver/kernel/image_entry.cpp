/*
 * image_entry.cpp - the image's entry point in the kernel build: it seeds
 * the stack-protection cookie and then calls driver entry.  Nothing else
 * happens here.
 *
 * The compiler's stack protector reads __stack_chk_guard in the prologue
 * of every protected routine and calls __stack_chk_fail when a routine's
 * copy was overwritten.  The cookie must be seeded before any protected
 * routine runs, by routines that are not protected themselves.
 */
#include "driver/driver.h"

#include <intrin.h>

extern "C" {

ULONG_PTR __stack_chk_guard = (ULONG_PTR)0x2B992DDFA232ULL;

/* A smashed stack is not survivable in the kernel. */
__attribute__((noreturn)) void __stack_chk_fail(void)
{
    KeBugCheckEx(0xF7 /* DRIVER_OVERRAN_STACK_BUFFER */, 0, __stack_chk_guard, 0, 0);
}

__attribute__((no_stack_protector)) static void SeedStackCookie(void)
{
    LARGE_INTEGER ticks;
    ULONG_PTR seed;
    KeQueryTickCount(&ticks);
    /* The DDK's KeQueryTickCount stores the count through a ULONG64 pointer
     * to ticks, which the analyzer does not connect with ticks.QuadPart.
     * NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult) */
    seed = (ULONG_PTR)__rdtsc() ^ ((ULONG_PTR)ticks.QuadPart << 32) ^
           (ULONG_PTR)&ticks ^ (ULONG_PTR)(PVOID)SeedStackCookie;
    /* A cookie of zero or of the default value would be guessable. */
    if (seed == 0 || seed == (ULONG_PTR)0x2B992DDFA232ULL)
        seed ^= (ULONG_PTR)0x5A17C0DE5A17C0DEULL;
    __stack_chk_guard = seed;
}

__attribute__((no_stack_protector)) NTSTATUS NTAPI
GsDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    SeedStackCookie();
    return DriverEntry(DriverObject, RegistryPath);
}

} // extern "C"
