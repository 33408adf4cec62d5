/*
 * sim.h (Windows build) - the part of simkernel's interface that the
 * qelmbar tool itself uses, for the Windows build, where simkernel does not
 * exist: the violation handler and the pool count.  It stands first on the
 * include path there, so the tool's sources include it by the same name.
 * tools/win32/nt_routines.cpp implements it together with the few kernel
 * routines the driver's parser calls.
 */
#pragma once

#include "platform/platform.h"

#include <functional>
#include <string>

namespace sk {

/* A misuse of the pool by the driver's code: a zero-byte request, tag 0,
 * a free of a block that is not live or with the wrong tag. */
using ViolationHandler = std::function<void(const std::string &message)>;
void SetViolationHandler(ViolationHandler handler);
[[gnu::format(printf, 1, 2)]] void Violation(const char *format, ...);

/* Pool blocks allocated and not freed yet. */
size_t PoolOutstandingBlocks();

} // namespace sk
