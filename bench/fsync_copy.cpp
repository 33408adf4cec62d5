/*
 * fsync_copy.cpp - the host's baseline for a durable tree copy: every file
 * of SOURCE copied to the same place below TARGET, each written through
 * one 256 KiB buffer and fsynced before the next.
 *
 * usage: qelmbar_fsync_copy SOURCE TARGET
 */
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

static bool CopyOne(const fs::path &from, const fs::path &to, std::vector<char> &buffer)
{
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    while (ok) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = write(out, buffer.data(), (size_t)n) == n;
    }
    ok = ok && fsync(out) == 0;
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return ok;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: qelmbar_fsync_copy SOURCE TARGET\n");
        return 2;
    }
    const fs::path source = argv[1], target = argv[2];
    std::vector<char> buffer(256 * 1024);
    fs::create_directories(target);
    for (auto it = fs::recursive_directory_iterator(source); it != fs::end(it); ++it) {
        const fs::path to = target / fs::relative(it->path(), source);
        if (it->is_directory()) {
            fs::create_directories(to);
        } else if (!CopyOne(it->path(), to, buffer)) {
            std::perror(it->path().c_str());
            return 1;
        }
    }
    return 0;
}
