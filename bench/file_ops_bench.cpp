/*
 * file_ops_bench.cpp - the file operations in process on the simulated
 * volume, and what they cost in pool:
 *
 *   the pool high-water of a CopyDir of a tree 10, 50 and 200 levels deep,
 *   checked against its bound: the 256 KiB copy buffer plus, for every
 *   level, its 8 KiB listing buffer, its two composed paths and its level
 *   record;
 *   CopyFile of one large file and CopyDir of many small files, in process
 *   (no boot, no child), against cp and cp -r on the same disk,
 *   interleaved round by round, with the median and spread of each.
 *
 * usage: qelmbar_file_bench [--quick] [--summary FILE] [SCRATCH]
 *   (SCRATCH defaults to build/host/bench-scratch beside the program's
 *   build, on the disk the build is on)
 */
#include "exec/exec.h"
#include "simkernel/files.h"
#include "simkernel/sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

/* The level record of a walk: its parent, depth, flags, two counted paths,
 * two handles, the listing buffer's address and three counters, as x64
 * lays them out (96 bytes); the bound allows 128. */
constexpr size_t kLevelRecordBytes = 128;

std::string g_summary;

void Goal(const std::string &line)
{
    std::printf("GOAL %s\n", line.c_str());
    if (!g_summary.empty()) {
        std::ofstream out(g_summary, std::ios::app);
        out << "GOAL " << line << "\n";
    }
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

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Contender {
    const char *name;
    std::function<void()> work;
    std::vector<double> seconds;
};

/* Every contender once a round, the order turned by one each round,
 * after prepare and a sync. */
void Interleave(int rounds, const std::function<void()> &prepare, std::vector<Contender> &all)
{
    for (int r = 0; r < rounds; r++) {
        std::printf("    round %d:", r + 1);
        for (size_t i = 0; i < all.size(); i++) {
            Contender &c = all[(i + (size_t)r) % all.size()];
            prepare();
            sync();
            const auto start = Clock::now();
            c.work();
            c.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            std::printf(" %s %.3f", c.name, c.seconds.back());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    for (const Contender &c : all)
        std::printf("  %-10s median %8.3f s  spread %8.3f .. %8.3f\n", c.name, Median(c.seconds),
                    *std::min_element(c.seconds.begin(), c.seconds.end()),
                    *std::max_element(c.seconds.begin(), c.seconds.end()));
}

void Check(NTSTATUS status, const char *what)
{
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "%s: 0x%08X\n", what, (unsigned)status);
        std::exit(1);
    }
}

void Host(const std::string &command)
{
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

std::string Quoted(const fs::path &path)
{
    return "'" + path.string() + "'";
}

/* The pool a CopyDir of a chain of depth directories holds at its peak,
 * against its bound.  true when it holds. */
bool DeepCopy(const fs::path &volume, unsigned depth)
{
    const fs::path base = volume / "deep";
    fs::remove_all(base);
    fs::remove_all(volume / "deepcopy");
    fs::path leaf = base;
    for (unsigned i = 1; i < depth; i++)
        leaf /= "l";
    fs::create_directories(leaf);
    WriteFile(leaf / "leaf.bin", 4096);

    const std::u16string source = u"\\??\\C:\\deep", target = u"\\??\\C:\\deepcopy";
    sk::ResetPoolHighWater();
    {
        UNICODE_STRING us = Counted(source), ut = Counted(target);
        Check(WalkDirectory(FALSE, &us, &ut, WalkCopy, FALSE, FALSE), "deep CopyDir");
    }
    const size_t peak = sk::PoolHighWaterBytes();
    /* Level n (1 = the top) names its directory with n - 1 components
     * "\l" below the top; each path as a counted string with its NUL. */
    size_t bound = COPY_BUFFER_BYTES;
    for (unsigned level = 1; level <= depth; level++) {
        const size_t below = 2 * (level - 1);
        const size_t paths = (source.size() + below + 1 + target.size() + below + 1) * 2;
        bound += LISTING_BUFFER_BYTES + paths + kLevelRecordBytes;
    }
    const bool holds = peak <= bound;
    std::printf("  depth %3u: pool peak %8zu bytes, bound %8zu (%.1f%% of it)\n", depth, peak,
                bound, 100.0 * (double)peak / (double)bound);
    char line[256];
    std::snprintf(line, sizeof(line), "%-34s %8zu B  goal <= %zu B: %s", 
                  ("pool of a CopyDir " + std::to_string(depth) + " levels deep").c_str(), peak,
                  bound, holds ? "holds" : "DOES NOT HOLD");
    Goal(line);
    fs::remove_all(base);
    fs::remove_all(volume / "deepcopy");
    return holds;
}

int Run(const fs::path &scratch, bool quick)
{
    const fs::path root = scratch / ("qelmbar-file-bench-" + std::to_string(getpid()));
    const fs::path volume = root / "C";
    fs::remove_all(root);
    fs::create_directories(volume);
    sk::SetViolationHandler([](const std::string &m) {
        std::fprintf(stderr, "violation: %s\n", m.c_str());
        std::abort();
    });
    sk::ResetKernel();
    sk::AddVolume(u"\\Device\\HarddiskVolume1", volume.string(), u'C');

    bool holds = true;
    std::printf("pool high-water of deep CopyDirs (bound: 256 KiB + per level 8 KiB, two paths, "
                "a %zu-byte level record)\n",
                kLevelRecordBytes);
    for (unsigned depth : { 10u, 50u, 200u })
        holds = DeepCopy(volume, depth) && holds;

    const int rounds = quick ? 3 : 5;
    const size_t big = quick ? (16u << 20) : (256u << 20);
    std::printf("CopyFile in process, %zu MiB, against cp; %d rounds\n", big >> 20, rounds);
    WriteFile(volume / "big.bin", big);
    {
        std::vector<Contender> all = {
            { "CopyFile",
              [&] {
                  const std::u16string s = u"\\??\\C:\\big.bin", t = u"\\??\\C:\\copy.bin";
                  UNICODE_STRING us = Counted(s), ut = Counted(t);
                  Check(CopyOneFile(FALSE, &us, &ut), "CopyFile");
              },
              {} },
            { "cp", [&] { Host("cp " + Quoted(volume / "big.bin") + " " + Quoted(volume / "copy.bin")); }, {} },
        };
        Interleave(rounds, [&] { fs::remove(volume / "copy.bin"); }, all);
    }
    fs::remove(volume / "big.bin");
    fs::remove(volume / "copy.bin");

    const int files = quick ? 100 : 4000;
    std::printf("CopyDir in process, %d files of 2 KiB in 40 directories, against cp -r; %d rounds\n",
                files, rounds);
    for (int f = 0; f < files; f++) {
        const fs::path dir = volume / "tree" / ("d" + std::to_string(f % 40));
        fs::create_directories(dir);
        WriteFile(dir / ("f" + std::to_string(f)), 2048);
    }
    {
        std::vector<Contender> all = {
            { "CopyDir",
              [&] {
                  const std::u16string s = u"\\??\\C:\\tree", t = u"\\??\\C:\\treecopy";
                  UNICODE_STRING us = Counted(s), ut = Counted(t);
                  Check(WalkDirectory(FALSE, &us, &ut, WalkCopy, FALSE, FALSE), "CopyDir");
              },
              {} },
            { "cp-r", [&] { Host("cp -r " + Quoted(volume / "tree") + " " + Quoted(volume / "treecopy")); }, {} },
        };
        Interleave(rounds, [&] { fs::remove_all(volume / "treecopy"); }, all);
    }

    if (sk::PoolOutstandingBlocks() != 0 || sk::OpenHandleCount() != 0) {
        std::fprintf(stderr, "left over:\n%s%s", sk::PoolReport().c_str(),
                     sk::HandleReport().c_str());
        return 1;
    }
    sk::ResetKernel();
    fs::remove_all(root);
    return holds ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    bool quick = false;
    fs::path scratch;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--summary") == 0 && i + 1 < argc) {
            g_summary = argv[++i];
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "usage: qelmbar_file_bench [--quick] [--summary FILE] [SCRATCH]\n");
            return 2;
        } else {
            scratch = argv[i];
        }
    }
    if (scratch.empty()) {
        /* Beside the program: the build's disk, not a memory file system. */
        std::error_code ec;
        scratch = fs::canonical("/proc/self/exe", ec).parent_path().parent_path() / "bench-scratch";
    }
    fs::create_directories(scratch);
    return Run(scratch, quick);
}
