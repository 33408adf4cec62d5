/*
 * trace.cpp - the executor's trace points, handed to the sink a listener
 * installed.  They are not platform calls: they never fail and are not
 * counted, so tracing a boot changes nothing about where a fault or a
 * power loss lands.
 */
#include "simkernel/internal.h"
#include "simkernel/sim.h"

#include <mutex>

namespace sk {

namespace {

std::mutex &SinkLock()
{
    static std::mutex lock;
    return lock;
}

TraceSink &Sink()
{
    static TraceSink sink;
    return sink;
}

} // namespace

void SetTraceSink(TraceSink sink)
{
    std::lock_guard<std::mutex> guard(SinkLock());
    Sink() = std::move(sink);
}

} // namespace sk

/* The sink is copied out of the lock, so that a listener may itself
 * install another. */
VOID TraceListRun(const ListOrigin *Origin, PLIST_ENTRY List)
{
    sk::TraceSink sink;
    {
        std::lock_guard<std::mutex> guard(sk::SinkLock());
        sink = sk::Sink();
    }
    if (sink.listRun)
        sink.listRun(Origin, List);
}

VOID TraceOperationOutcome(PLIST_ENTRY Entry, NTSTATUS Status, BOOLEAN Deferred)
{
    sk::TraceSink sink;
    {
        std::lock_guard<std::mutex> guard(sk::SinkLock());
        sink = sk::Sink();
    }
    if (sink.operationOutcome)
        sink.operationOutcome(Entry, Status, Deferred != FALSE);
}
