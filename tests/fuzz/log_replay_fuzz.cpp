/*
 * log_replay_fuzz.cpp - libFuzzer target for replaying a hive's logs.
 *
 * An input is a primary and two logs: two little-endian 24-bit lengths,
 * then the primary and LOG1 of those lengths, then LOG2 (the rest).  When
 * the first length's top bit is set, the base blocks' checksums and every
 * log entry's hashes are made right before the replay, so that mutations
 * reach the entries' contents instead of stopping at a hash.  Whatever the
 * input, the replay either refuses with a reason and no image, or gives an
 * image whose base block is clean and as long as it says.
 */
#include "simkernel/regf/log_replay.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

uint32_t Get32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

void Put32(uint8_t *p, uint32_t v)
{
    memcpy(p, &v, 4);
}

void Put64(uint8_t *p, uint64_t v)
{
    memcpy(p, &v, 8);
}

void FixUp(std::vector<uint8_t> *file, bool entries)
{
    if (file->size() >= 512)
        Put32(file->data() + 0x1FC, sk::regf::BaseBlockChecksum(file->data()));
    if (!entries)
        return;
    for (size_t at = 512; at + 40 <= file->size() && memcmp(file->data() + at, "HvLE", 4) == 0;) {
        const uint32_t size = Get32(file->data() + at + 4);
        if (size < 40 || size % 512 || size > file->size() - at)
            break;
        Put64(file->data() + at + 24, sk::regf::LogEntryHash(file->data() + at + 40, size - 40));
        Put64(file->data() + at + 32, sk::regf::LogEntryHash(file->data() + at, 32));
        at += size;
    }
}

void Fail(const char *what)
{
    fprintf(stderr, "log replay: %s\n", what);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6 || size > (1u << 22))
        return 0;
    const uint32_t first = data[0] | data[1] << 8 | data[2] << 16;
    const bool fixUp = first & 0x800000;
    const size_t primaryLength = first & 0x7FFFFF;
    const size_t log1Length = data[3] | data[4] << 8 | data[5] << 16;
    size_t at = 6;
    if (primaryLength > size - at)
        return 0;
    std::vector<uint8_t> primary(data + at, data + at + primaryLength);
    at += primaryLength;
    if (log1Length > size - at)
        return 0;
    std::vector<uint8_t> log1(data + at, data + at + log1Length);
    at += log1Length;
    std::vector<uint8_t> log2(data + at, data + size);
    if (fixUp) {
        FixUp(&primary, false);
        FixUp(&log1, true);
        FixUp(&log2, true);
    }
    /* Each file its own allocation, so that a read past one is caught. */
    std::vector<uint8_t> image;
    sk::regf::HiveLogBytes logs;
    logs.log1 = sk::regf::ByteView{ log1.empty() ? nullptr : log1.data(), log1.size() };
    logs.log2 = sk::regf::ByteView{ log2.empty() ? nullptr : log2.data(), log2.size() };
    sk::regf::ReplayReport report =
        sk::regf::ReplayHiveLogs(sk::regf::ByteView{ primary.data(), primary.size() }, logs, &image);
    if (report.outcome == sk::regf::ReplayOutcome::Refused) {
        if (!image.empty() || report.reason.empty())
            Fail("a refusal with an image or without a reason");
        return 0;
    }
    if (image.size() < 4096 || Get32(image.data() + 4) != Get32(image.data() + 8) ||
        Get32(image.data() + 0x1FC) != sk::regf::BaseBlockChecksum(image.data()))
        Fail("an image without a clean base block");
    if (report.outcome == sk::regf::ReplayOutcome::Replayed && image.size() != 4096u + Get32(image.data() + 0x28))
        Fail("a replayed image of another length than its base block says");
    return 0;
}
