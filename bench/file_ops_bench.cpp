/*
 * file_ops_bench.cpp - the file operations through the simulated volume
 * against the host's own cp on the same disk, in the same run, and the
 * pool a deep CopyDir holds at its peak.
 *
 * usage: qelmbar_file_bench [scratch directory]   (default: $TMPDIR or /tmp)
 */
#include "exec/exec.h"
#include "simkernel/files.h"
#include "simkernel/sim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

UNICODE_STRING Counted(const std::u16string &text)
{
    UNICODE_STRING s;
    s.Length = s.MaximumLength = (USHORT)(text.size() * 2);
    s.Buffer = (PWCH)text.data();
    return s;
}

void WriteFile(const fs::path &path, size_t bytes)
{
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); i++)
        chunk[i] = (char)(i * 131 + 7);
    std::ofstream out(path, std::ios::binary);
    for (size_t written = 0; written < bytes; written += chunk.size())
        out.write(chunk.data(), (std::streamsize)std::min(chunk.size(), bytes - written));
}

double Best(int runs, const std::function<void()> &prepare, const std::function<void()> &work)
{
    double best = 1e9;
    for (int i = 0; i < runs; i++) {
        prepare();
        auto start = Clock::now();
        work();
        best = std::min(best, Seconds(start));
    }
    return best;
}

int Run(const fs::path &scratch)
{
    fs::path root = scratch / "qelmbar-file-bench";
    fs::remove_all(root);
    fs::create_directories(root / "C");
    sk::SetViolationHandler([](const std::string &m) {
        fprintf(stderr, "violation: %s\n", m.c_str());
        abort();
    });
    sk::ResetKernel();
    sk::AddVolume(u"\\Device\\HarddiskVolume1", (root / "C").string(), u'C');

    /* One large file. */
    const size_t big = 256u << 20;
    WriteFile(root / "C" / "big.bin", big);
    auto removeCopy = [&] { fs::remove(root / "C" / "copy.bin"); };
    double sim = Best(3, removeCopy, [&] {
        std::u16string s = u"\\??\\C:\\big.bin", t = u"\\??\\C:\\copy.bin";
        UNICODE_STRING us = Counted(s), ut = Counted(t);
        if (!NT_SUCCESS(CopyOneFile(FALSE, &us, &ut)))
            abort();
    });
    std::string cpFile = "cp " + (root / "C" / "big.bin").string() + " " + (root / "C" / "copy.bin").string();
    double host = Best(3, removeCopy, [&] {
        if (system(cpFile.c_str()) != 0)
            abort();
    });
    printf("CopyFile %zu MiB:        simulated %.3f s, cp %.3f s, ratio %.2f\n", big >> 20, sim,
           host, sim / host);

    /* A tree of many small files. */
    const int dirs = 40, files = 100;
    for (int d = 0; d < dirs; d++) {
        fs::create_directories(root / "C" / "tree" / ("d" + std::to_string(d)));
        for (int f = 0; f < files; f++)
            WriteFile(root / "C" / "tree" / ("d" + std::to_string(d)) / ("f" + std::to_string(f)), 2048);
    }
    auto removeTree = [&] { fs::remove_all(root / "C" / "treecopy"); };
    sim = Best(3, removeTree, [&] {
        std::u16string s = u"\\??\\C:\\tree", t = u"\\??\\C:\\treecopy";
        UNICODE_STRING us = Counted(s), ut = Counted(t);
        if (!NT_SUCCESS(WalkDirectory(FALSE, &us, &ut, WalkCopy, FALSE, FALSE)))
            abort();
    });
    std::string cpTree = "cp -r " + (root / "C" / "tree").string() + " " + (root / "C" / "treecopy").string();
    host = Best(3, removeTree, [&] {
        if (system(cpTree.c_str()) != 0)
            abort();
    });
    printf("CopyDir %d files of 2 KiB: simulated %.3f s, cp -r %.3f s, ratio %.2f\n", dirs * files,
           sim, host, sim / host);

    /* The pool a deep copy holds at its peak. */
    const unsigned depth = 40;
    fs::path deep = root / "C" / "deep";
    for (unsigned i = 0; i < depth; i++)
        deep /= "level";
    fs::create_directories(deep);
    WriteFile(deep / "leaf.bin", 4096);
    sk::ResetPoolHighWater();
    {
        std::u16string s = u"\\??\\C:\\deep", t = u"\\??\\C:\\deepcopy";
        UNICODE_STRING us = Counted(s), ut = Counted(t);
        if (!NT_SUCCESS(WalkDirectory(FALSE, &us, &ut, WalkCopy, FALSE, FALSE)))
            abort();
    }
    size_t peak = sk::PoolHighWaterBytes();
    size_t levels = depth + 1;
    size_t pathBytes = 0;
    for (size_t level = 1; level <= levels; level++)
        pathBytes += 2 * (2 * (14 + 6 * level) + 2);
    size_t expected = COPY_BUFFER_BYTES + levels * LISTING_BUFFER_BYTES + pathBytes;
    printf("CopyDir %zu levels deep:  pool peak %zu bytes; copy buffer + listing buffers + paths "
           "= %zu, the rest (level records, name queries) %zd\n",
           levels, peak, expected, (ssize_t)(peak - expected));

    if (sk::PoolOutstandingBlocks() != 0 || sk::OpenHandleCount() != 0) {
        fprintf(stderr, "left over:\n%s%s", sk::PoolReport().c_str(), sk::HandleReport().c_str());
        return 1;
    }
    sk::ResetKernel();
    fs::remove_all(root);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const char *tmp = getenv("TMPDIR");
    fs::path scratch = argc > 1 ? fs::path(argv[1]) : fs::path(tmp && *tmp ? tmp : "/tmp");
    return Run(scratch);
}
