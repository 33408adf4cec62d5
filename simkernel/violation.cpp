/*
 * violation.cpp - reporting of misuse of the simulated kernel, and the reset
 * of the whole model between tests.
 */
#include "simkernel/clock.h"
#include "simkernel/internal.h"
#include "simkernel/io_internal.h"
#include "simkernel/object_namespace.h"
#include "simkernel/volume.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace sk {

namespace {

ViolationHandler &Handler()
{
    static ViolationHandler handler;
    return handler;
}

} // namespace

void SetViolationHandler(ViolationHandler handler)
{
    Handler() = std::move(handler);
}

void Violation(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    /* Called through a copy: a handler may replace itself while it runs. */
    ViolationHandler handler = Handler();
    if (handler) {
        handler(text);
        return;
    }
    fprintf(stderr, "simkernel: violation: %s\n", text);
    abort();
}

std::recursive_mutex &KernelLock()
{
    static std::recursive_mutex lock;
    return lock;
}

const char *ObjectKindName(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::Key: return "Key";
    case ObjectKind::File: return "File";
    case ObjectKind::ObjectDirectory: return "Directory";
    case ObjectKind::SymbolicLink: return "SymbolicLink";
    case ObjectKind::Device: return "Device";
    case ObjectKind::Event: return "Event";
    case ObjectKind::Process: return "Process";
    case ObjectKind::DeviceFile: return "DeviceFile";
    case ObjectKind::Other: break;
    }
    return "Object";
}

void ResetKernel()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    ResetHandles();
    io::ResetIoManager();
    io::ResetProcesses();
    io::ResetSystemInfo();
    ob::ResetNamespace();
    ResetHiveLoads();
    ResetRegistry();
    fs::ResetVolumes();
    ResetClock();
    ResetPool();
    ResetFaults();
}

} // namespace sk
