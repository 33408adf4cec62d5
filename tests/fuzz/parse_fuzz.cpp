/*
 * parse_fuzz.cpp - libFuzzer target for the script parser.
 *
 * Each input is taken as the data of a REG_MULTI_SZ value, laid out as the
 * registry reader hands it over (zero padding beyond the data).  The first
 * byte may also plan a pool failure.  Whatever the input, the parse must
 * end with a consistent list, a status from its documented set, and every
 * pool block given back; a violation of the simulated kernel aborts.
 */
#include "script/script.h"
#include "simkernel/sim.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1u << 20)
        return 0;
    sk::ResetKernel();

    /* An input whose first byte has its top bit set fails one allocation,
     * chosen by the low bits. */
    size_t skip = 0;
    if (size > 0 && (data[0] & 0x80)) {
        sk::FailAllocation((data[0] & 0x3F) + 1);
        skip = 1;
    }
    std::vector<uint8_t> block(size - skip + 6, 0);
    memcpy(block.data(), data + skip, size - skip);

    LIST_ENTRY list;
    NTSTATUS status = ParseOperationList((PCWSTR)block.data(), (ULONG)(size - skip), &list);
    if (status != STATUS_SUCCESS && status != STATUS_DATA_OVERRUN && status != STATUS_NO_MEMORY) {
        fprintf(stderr, "unexpected status %#x\n", (unsigned)status);
        abort();
    }
    size_t records = 0;
    for (PLIST_ENTRY e = list.Flink; e != &list; e = e->Flink) {
        OperationRecord *record = CONTAINING_RECORD(e, OperationRecord, Links);
        if (record->Kind >= OPERATION_KIND_COUNT || e->Flink->Blink != e)
            abort();
        records++;
    }
    if (status != STATUS_SUCCESS && records != 0)
        abort();
    FreeOperationList(&list);
    if (sk::PoolOutstandingBlocks() != 0) {
        fprintf(stderr, "pool blocks left over:\n%s", sk::PoolReport().c_str());
        abort();
    }
    return 0;
}
