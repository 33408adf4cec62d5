/*
 * child_process.cpp - work done in a child process.
 *
 * A child process starts from a copy of the parent's memory, resets the
 * simulated kernel and builds what it needs from the machine directory
 * alone.  It sends its answer through a pipe and ends with _exit, so
 * nothing of the parent (buffered output, atexit handlers, the test
 * framework) runs twice.
 */
#include "machine/internal.h"

#include "simkernel/sim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm {

namespace {

/* Violations of a child that only edits hives. */
struct ViolationLog {
    std::mutex mutex;
    std::vector<std::string> messages;

    void Install()
    {
        sk::SetViolationHandler([this](const std::string &message) {
            std::lock_guard<std::mutex> guard(mutex);
            messages.push_back(message);
        });
    }
};

} // namespace

bool WriteAll(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

/* Runs body in a child process and collects what it writes to the pipe.
 * false, with *failure set, when the child did not end normally. */
bool RunChild(const std::function<void(int fd)> &body, unsigned watchdogSeconds,
              std::string *output, std::string *failure)
{
    int fds[2];
    if (pipe(fds) != 0) {
        *failure = std::string("pipe: ") + strerror(errno);
        return false;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        *failure = std::string("fork: ") + strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        signal(SIGPIPE, SIG_IGN);
        if (watchdogSeconds)
            alarm(watchdogSeconds);
        try {
            body(fds[1]);
        } catch (...) {
            _exit(3);
        }
        _exit(0);
    }
    close(fds[1]);
    output->clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output->append(buffer, (size_t)n);
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            *failure = std::string("waitpid: ") + strerror(errno);
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    char text[160];
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        snprintf(text, sizeof(text), "the child did not finish within %u s and was stopped",
                 watchdogSeconds);
    else if (WIFSIGNALED(status))
        snprintf(text, sizeof(text), "the child died of signal %d (%s)", WTERMSIG(status),
                 strsignal(WTERMSIG(status)));
    else
        snprintf(text, sizeof(text), "the child exited with status %d", WEXITSTATUS(status));
    *failure = text;
    return false;
}

/* Runs work in a child that collects simkernel's violations.  The child
 * answers "K", or "E" with what work returned or else the first violation;
 * false, with *error set, unless it answered "K". */
bool WorkInChild(const std::function<std::string()> &work, std::string *error)
{
    std::string output;
    std::string failure;
    bool ran = RunChild(
        [&](int fd) {
            ViolationLog log;
            log.Install();
            std::string message = work();
            {
                std::lock_guard<std::mutex> guard(log.mutex);
                if (message.empty() && !log.messages.empty())
                    message = "simkernel violation: " + log.messages.front();
            }
            WriteAll(fd, message.empty() ? std::string("K") : "E" + message);
        },
        60, &output, &failure);
    if (!ran) {
        SetError(error, failure);
        return false;
    }
    if (output == "K")
        return true;
    SetError(error, output.empty() ? std::string("the child sent no answer") : output.substr(1));
    return false;
}

} // namespace qm
