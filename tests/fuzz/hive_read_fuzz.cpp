/*
 * hive_read_fuzz.cpp - libFuzzer target for reading a hive file.
 *
 * The input is written as a primary hive file in a temporary directory and
 * read with simkernel's hive reader, which checks it before walking it.
 * When the first byte's top bit is set, the rest is the hive with its base
 * block's checksum made right, so that mutations reach the bins.  The read
 * must answer with a status from its documented set and, on success, a
 * tree.  Kept apart from the log replay target so that it can be pointed at
 * another reader or checker alone.
 */
#include "simkernel/hive_file.h"
#include "simkernel/regf/log_replay.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string &Directory()
{
    static std::string dir = [] {
        char path[] = "/tmp/qelmbar-hive-fuzz-XXXXXX";
        if (!mkdtemp(path))
            abort();
        return std::string(path);
    }();
    return dir;
}

bool WriteAll(const std::string &path, const std::vector<uint8_t> &bytes)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    close(fd);
    return written;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 21))
        return 0;
    std::vector<uint8_t> bytes(data + 1, data + size);
    if ((data[0] & 0x80) && bytes.size() >= 512) {
        const uint32_t sum = sk::regf::BaseBlockChecksum(bytes.data());
        memcpy(bytes.data() + 0x1FC, &sum, 4);
    }
    const std::string path = Directory() + "/SYSTEM";
    if (!WriteAll(path, bytes))
        abort();
    std::shared_ptr<sk::reg::Key> root;
    const NTSTATUS status = sk::reg::ReadHiveFile(path, &root);
    switch (status) {
    case STATUS_SUCCESS:
        if (!root)
            abort();
        break;
    case STATUS_NOT_REGISTRY_FILE:
    case STATUS_REGISTRY_CORRUPT:
    case STATUS_NOT_SUPPORTED:
    case STATUS_INSUFFICIENT_RESOURCES:
        break;
    default:
        fprintf(stderr, "hive read: status 0x%08X\n", (unsigned)status);
        abort();
    }
    return 0;
}
