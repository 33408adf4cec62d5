/*
 * machine.cpp - machines in a directory, their hive files, and boots of
 * them in child processes.
 *
 * A child process starts from a copy of the parent's memory, resets the
 * simulated kernel and builds what it needs from the machine directory
 * alone.  It sends its answer through a pipe and ends with _exit, so
 * nothing of the parent (buffered output, atexit handlers, the test
 * framework) runs twice.  A power loss is the child ending at the chosen
 * call: whatever it has not written to a file is gone with it.
 */
#include "machine/machine.h"

#include "boot/boot.h"
#include "driver/driver.h"
#include "simkernel/clock.h"
#include "simkernel/files.h"
#include "simkernel/hive_file.h"
#include "simkernel/hive_load.h"
#include "simkernel/io.h"
#include "simkernel/objects.h"
#include "simkernel/registry.h"
#include "simkernel/sim.h"
#include "tools/lib/status_names.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace qm {

namespace fs = std::filesystem;

namespace {

char16_t FoldAscii(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? (char16_t)(c - u'a' + u'A') : c;
}

} // namespace

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

namespace {

constexpr char16_t kVolumeDevice[] = u"\\Device\\HarddiskVolume1";
constexpr char16_t kConfigDirectory[] = u"\\Device\\HarddiskVolume1\\Windows\\System32\\config\\";
constexpr char kClockFile[] = "clock";
constexpr LONGLONG kUnitsPerSecond = 10000000LL;

/* ---- text ------------------------------------------------------------ */

std::string U8(const std::u16string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        }
        if (c < 0x80) {
            out.push_back((char)c);
        } else if (c < 0x800) {
            out.push_back((char)(0xC0 | (c >> 6)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back((char)(0xE0 | (c >> 12)));
            out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (c >> 18)));
            out.push_back((char)(0x80 | ((c >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string U16(const std::string &text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char b = (unsigned char)text[i];
        uint32_t c = b;
        size_t extra = 0;
        if (b >= 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else if (b >= 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xC0) {
            c = b & 0x1F;
            extra = 1;
        }
        i++;
        for (size_t k = 0; k < extra && i < text.size(); k++, i++)
            c = (c << 6) | ((unsigned char)text[i] & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back((char16_t)(0xD800 + (c >> 10)));
            out.push_back((char16_t)(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back((char16_t)c);
        }
    }
    return out;
}

std::vector<std::u16string> SplitPath(const std::u16string &path)
{
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t end = path.find(u'\\', i);
        if (end == std::u16string::npos)
            end = path.size();
        if (end > i)
            parts.push_back(path.substr(i, end - i));
        i = end + 1;
    }
    return parts;
}

std::u16string JoinPath(const std::vector<std::u16string> &parts)
{
    std::u16string out;
    for (const std::u16string &part : parts) {
        if (!out.empty())
            out += u'\\';
        out += part;
    }
    return out;
}

std::string Status(NTSTATUS status)
{
    return qelmbar::StatusText(status);
}

void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

/* In SYSTEM, a first component CurrentControlSet names ControlSetNNN. */
std::u16string MapControlSet(Hive hive, const std::u16string &keyPath, ULONG current)
{
    std::vector<std::u16string> parts = SplitPath(keyPath);
    if (hive == Hive::System && !parts.empty() &&
        EqualsIgnoringCase(parts[0], u"CurrentControlSet")) {
        char name[32];
        snprintf(name, sizeof(name), "ControlSet%03u", (unsigned)current);
        parts[0] = U16(name);
    }
    return JoinPath(parts);
}

bool NeedsControlSet(Hive hive, const std::u16string &keyPath)
{
    std::vector<std::u16string> parts = SplitPath(keyPath);
    return hive == Hive::System && !parts.empty() &&
           EqualsIgnoringCase(parts[0], u"CurrentControlSet");
}

/* ---- child processes -------------------------------------------------- */

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

/* ---- the answer of a child, field by field ---------------------------- */

class Encoder {
public:
    void U64(uint64_t v) { out_.append((const char *)&v, sizeof(v)); }
    void Bool(bool v) { U64(v ? 1 : 0); }
    void Str(const std::string &s)
    {
        U64(s.size());
        out_ += s;
    }
    void Strs(const std::vector<std::string> &list)
    {
        U64(list.size());
        for (const std::string &s : list)
            Str(s);
    }
    const std::string &Bytes() const { return out_; }

private:
    std::string out_;
};

class Decoder {
public:
    explicit Decoder(const std::string &in) : in_(in) {}
    uint64_t U64()
    {
        uint64_t v = 0;
        if (at_ + sizeof(v) > in_.size()) {
            ok_ = false;
            return 0;
        }
        memcpy(&v, in_.data() + at_, sizeof(v));
        at_ += sizeof(v);
        return v;
    }
    bool Bool() { return U64() != 0; }
    std::string Str()
    {
        uint64_t n = U64();
        if (!ok_ || n > in_.size() - at_) {
            ok_ = false;
            return std::string();
        }
        std::string s = in_.substr(at_, n);
        at_ += n;
        return s;
    }
    std::vector<std::string> Strs()
    {
        std::vector<std::string> list;
        uint64_t n = U64();
        for (uint64_t i = 0; ok_ && i < n; i++)
            list.push_back(Str());
        return list;
    }
    bool Good() const { return ok_; }
    bool Ok() const { return ok_ && at_ == in_.size(); }

private:
    const std::string &in_;
    size_t at_ = 0;
    bool ok_ = true;
};

void EncodeReport(const BootReport &r, Encoder *e)
{
    e->Str(r.failure);
    e->U64((uint64_t)r.lastStage);
    e->U64(r.stageCalls.size());
    for (const auto &entry : r.stageCalls) {
        e->U64((uint64_t)entry.first);
        e->U64(entry.second);
    }
    e->Bool(r.entryReturned);
    e->U64((uint32_t)r.entryStatus);
    e->Bool(r.powerLost);
    e->U64(r.powerLossCall);
    e->Str(r.powerLossRoutine);
    e->U64((uint64_t)r.powerLossStage);
    e->U64(r.platformCalls);
    e->Strs(r.callTrace);
    e->U64(r.trace.size());
    for (const TraceEvent &t : r.trace) {
        e->U64((uint64_t)t.kind);
        e->U64((uint64_t)t.script);
        e->Str(U8(t.package));
        e->U64(t.index);
        e->Bool(t.deferredRun);
        e->U64((uint32_t)t.status);
        e->Bool(t.deferred);
        e->U64((uint64_t)t.stage);
    }
    e->Bool(r.contextAvailable);
    e->U64(r.bootCounter);
    e->U64(r.tickCounter);
    e->Bool(r.improperShutdownDetected);
    e->U64(r.driverStateFlags);
    e->U64(r.driverStateFlagsAfterEntry);
    e->U64(r.deferredAfterEntry);
    e->Bool(r.deferredRunStarted);
    e->U64(r.shutdownRequests);
    e->U64(r.openHandles);
    e->Strs(r.systemErrors);
    e->Strs(r.violations);
    e->U64(r.inspections.size());
    for (const auto &entry : r.inspections) {
        e->U64((uint64_t)entry.first);
        e->Str(entry.second);
    }
}

bool DecodeReport(const std::string &bytes, BootReport *r)
{
    Decoder d(bytes);
    r->failure = d.Str();
    r->lastStage = (BootStage)d.U64();
    r->stageCalls.clear();
    for (uint64_t i = 0, n = d.U64(); i < n && d.Good(); i++) {
        BootStage stage = (BootStage)d.U64();
        r->stageCalls.emplace_back(stage, d.U64());
    }
    r->entryReturned = d.Bool();
    r->entryStatus = (NTSTATUS)(uint32_t)d.U64();
    r->powerLost = d.Bool();
    r->powerLossCall = d.U64();
    r->powerLossRoutine = d.Str();
    r->powerLossStage = (BootStage)d.U64();
    r->platformCalls = d.U64();
    r->callTrace = d.Strs();
    r->trace.clear();
    for (uint64_t i = 0, n = d.U64(); i < n && d.Good(); i++) {
        TraceEvent t;
        t.kind = (TraceEvent::Kind)d.U64();
        t.script = (ScriptKind)d.U64();
        t.package = U16(d.Str());
        t.index = (size_t)d.U64();
        t.deferredRun = d.Bool();
        t.status = (NTSTATUS)(uint32_t)d.U64();
        t.deferred = d.Bool();
        t.stage = (BootStage)d.U64();
        r->trace.push_back(std::move(t));
    }
    r->contextAvailable = d.Bool();
    r->bootCounter = (ULONG)d.U64();
    r->tickCounter = (ULONG)d.U64();
    r->improperShutdownDetected = d.Bool();
    r->driverStateFlags = (ULONG)d.U64();
    r->driverStateFlagsAfterEntry = (ULONG)d.U64();
    r->deferredAfterEntry = (size_t)d.U64();
    r->deferredRunStarted = d.Bool();
    r->shutdownRequests = (size_t)d.U64();
    r->openHandles = (size_t)d.U64();
    r->systemErrors = d.Strs();
    r->violations = d.Strs();
    r->inspections.clear();
    for (uint64_t i = 0, n = d.U64(); i < n && d.Good(); i++) {
        BootStage stage = (BootStage)d.U64();
        r->inspections.emplace_back(stage, d.Str());
    }
    return d.Ok();
}

/* ---- the simulated kernel of a child ----------------------------------- */

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

UNICODE_STRING Counted(const std::u16string &text)
{
    UNICODE_STRING s;
    s.Buffer = (PWCH)text.data();
    s.Length = (USHORT)(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

std::u16string HiveFileNtPath(Hive hive)
{
    const char *name = HiveFileName(hive);
    return kConfigDirectory + std::u16string(name, name + strlen(name));
}

/* ZwLoadKey of the hive at its mount path from file, an NT path. */
NTSTATUS LoadHiveFrom(Hive hive, const std::u16string &file)
{
    const std::u16string mount = HiveMountPath(hive);
    UNICODE_STRING mountName = Counted(mount);
    UNICODE_STRING fileName = Counted(file);
    OBJECT_ATTRIBUTES target;
    OBJECT_ATTRIBUTES source;
    InitializeObjectAttributes(&target, &mountName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    InitializeObjectAttributes(&source, &fileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    return ZwLoadKey(&target, &source);
}

/* ZwLoadKey of the hive at its mount path from its file on volume C:. */
NTSTATUS LoadHive(Hive hive)
{
    return LoadHiveFrom(hive, HiveFileNtPath(hive));
}

/* ZwFlushKey on the key at path, as the system does at shutdown. */
NTSTATUS FlushKeyAt(const std::u16string &path)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = nullptr;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    status = ZwFlushKey(key);
    ZwClose(key);
    return status;
}

ULONG CurrentControlSet()
{
    std::optional<sk::RegValue> value =
        sk::RegGetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\Select", u"Current");
    if (value && value->type == REG_DWORD && value->data.size() == 4) {
        ULONG current;
        memcpy(&current, value->data.data(), 4);
        if (current != 0 && current < 1000)
            return current;
    }
    return 1;
}

/* A fresh kernel with volume C: over the machine's directory. */
std::string StartKernel(const std::string &dir)
{
    sk::ResetKernel();
    NTSTATUS status = sk::AddVolume(kVolumeDevice, VolumeRoot(dir), u'C');
    if (!NT_SUCCESS(status))
        return "volume C: over " + VolumeRoot(dir) + ": " + Status(status);
    return std::string();
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

/* Runs edit in a child on the hive that load mounts on a fresh kernel, and
 * flushes it; flushing names the step in an error of the flush. */
bool EditLoadedHive(Hive hive, const std::function<std::string()> &load, const std::string &flushing,
                    const std::function<std::string(const std::u16string &root)> &edit,
                    std::string *error)
{
    return WorkInChild(
        [&] {
            std::string message = load();
            if (message.empty()) {
                /* The volatile CurrentControlSet link, for edits that use
                 * it; a control set that is missing is not made up. */
                char set[48];
                snprintf(set, sizeof(set), "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet%03u",
                         (unsigned)CurrentControlSet());
                if (hive == Hive::System && sk::RegKeyExists(U16(set)))
                    sk::RegSetUpControlSets(CurrentControlSet());
                message = edit(HiveMountPath(hive));
            }
            if (message.empty()) {
                NTSTATUS status = FlushKeyAt(HiveMountPath(hive));
                if (!NT_SUCCESS(status))
                    message = flushing + ": " + Status(status);
            }
            return message;
        },
        error);
}

/* Runs edit in a child with the machine's hive loaded, and flushes it. */
bool EditInChild(const std::string &dir, Hive hive,
                 const std::function<std::string(const std::u16string &root)> &edit,
                 std::string *error)
{
    return EditLoadedHive(
        hive,
        [&] {
            std::string message = StartKernel(dir);
            if (message.empty()) {
                NTSTATUS status = LoadHive(hive);
                if (!NT_SUCCESS(status))
                    message = std::string("loading ") + HiveFileName(hive) + ": " + Status(status);
            }
            return message;
        },
        std::string("flushing ") + HiveFileName(hive), edit, error);
}

/* ---- offline reading -------------------------------------------------- */

std::shared_ptr<sk::reg::Key> ReadHive(const std::string &dir, Hive hive, std::string *error)
{
    std::shared_ptr<sk::reg::Key> root;
    NTSTATUS status = sk::reg::ReadHiveFile(HiveFilePath(dir, hive), &root);
    if (!NT_SUCCESS(status)) {
        SetError(error, HiveFilePath(dir, hive) + ": " + Status(status));
        return nullptr;
    }
    return root;
}

ULONG OfflineCurrentControlSet(const sk::reg::Key &root)
{
    std::shared_ptr<sk::reg::Key> select = sk::reg::FindSubkey(root, u"Select");
    if (select) {
        for (const sk::reg::Value &value : select->values) {
            if (EqualsIgnoringCase(value.name, u"Current") && value.type == REG_DWORD &&
                value.data.size() == 4) {
                ULONG current;
                memcpy(&current, value.data.data(), 4);
                if (current != 0 && current < 1000)
                    return current;
            }
        }
    }
    return 1;
}

const sk::reg::Key *FindOffline(const sk::reg::Key &root, Hive hive, const std::u16string &keyPath,
                                std::string *error)
{
    const std::u16string path = NeedsControlSet(hive, keyPath)
                                    ? MapControlSet(hive, keyPath, OfflineCurrentControlSet(root))
                                    : keyPath;
    const sk::reg::Key *key = &root;
    for (const std::u16string &part : SplitPath(path)) {
        std::shared_ptr<sk::reg::Key> next = sk::reg::FindSubkey(*key, part);
        if (!next) {
            SetError(error, std::string(HiveFileName(hive)) + "\\" + U8(path) + ": no such key");
            return nullptr;
        }
        key = next.get();
    }
    return key;
}

/* ---- copying ---------------------------------------------------------- */

bool CopyAttributes(const fs::path &from, const fs::path &to, std::string *error)
{
    ssize_t size = llistxattr(from.c_str(), nullptr, 0);
    if (size <= 0)
        return true;
    std::vector<char> names((size_t)size);
    size = llistxattr(from.c_str(), names.data(), names.size());
    if (size < 0)
        return true;
    for (size_t at = 0; at < (size_t)size;) {
        const char *name = names.data() + at;
        at += strlen(name) + 1;
        ssize_t length = lgetxattr(from.c_str(), name, nullptr, 0);
        if (length < 0)
            continue;
        std::vector<char> value((size_t)length);
        length = lgetxattr(from.c_str(), name, value.data(), value.size());
        if (length < 0)
            continue;
        if (lsetxattr(to.c_str(), name, value.data(), (size_t)length, 0) != 0 &&
            strncmp(name, "user.", 5) == 0) {
            SetError(error, to.string() + ": " + name + ": " + strerror(errno));
            return false;
        }
    }
    return true;
}

/* ---- boots ------------------------------------------------------------ */

size_t ListLength(const LIST_ENTRY &head)
{
    if (!head.Flink)
        return 0;
    size_t count = 0;
    for (const LIST_ENTRY *entry = head.Flink; entry && entry != &head && count < 1000000;
         entry = entry->Flink)
        count++;
    return count;
}

std::optional<LONGLONG> ReadClock(const std::string &dir)
{
    std::ifstream in(fs::path(dir) / kClockFile);
    long long value = 0;
    if (in >> value)
        return (LONGLONG)value;
    return std::nullopt;
}

void WriteClock(const std::string &dir, LONGLONG time)
{
    std::ofstream out(fs::path(dir) / kClockFile, std::ios::trunc);
    out << (long long)time << "\n";
}

/* One boot, in the child. */
class BootRun {
public:
    BootRun(const std::string &dir, const BootOptions &options, int fd)
        : dir_(dir), options_(options), fd_(fd)
    {
    }

    void Run()
    {
        sk::SetViolationHandler([this](const std::string &message) {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.violations.push_back(message);
        });
        std::string message = StartKernel(dir_);
        if (!message.empty())
            return Fail(message);
        /* The volume forgets what was not flushed when the power goes. */
        sk::TrackDurability(true);
        sk::SetHostSync(options_.hostSync);
        /* The real-time clock went on while the machine was off. */
        if (std::optional<LONGLONG> clock = ReadClock(dir_)) {
            LONGLONG start = *clock + (LONGLONG)options_.offSeconds * kUnitsPerSecond;
            if (start > sk::PeekSystemTime())
                sk::SetSystemTime(start);
        }
        sk::SetWindowsVersion(options_.windowsMajor, options_.windowsMinor, options_.windowsBuild,
                              options_.servicePack);
        sk::SetRoutineExported("ZwRenameKey", options_.renameKeyExported);
        for (const std::string &name : options_.exportedRoutines)
            sk::SetRoutineExported(name, true);
        if (options_.traceOperations) {
            sk::TraceSink sink;
            sink.listRun = [this](PLIST_ENTRY list) { TraceList(list); };
            sink.operationOutcome = [this](PLIST_ENTRY entry, NTSTATUS status, bool deferred) {
                TraceOutcome(entry, status, deferred);
            };
            sk::SetTraceSink(std::move(sink));
        }
        Stage(BootStage::Start);

        /* Early boot: the loader has brought SYSTEM and the boot drivers. */
        NTSTATUS status = LoadHive(Hive::System);
        if (!NT_SUCCESS(status))
            return Fail("loading SYSTEM: " + Status(status));
        Check("control sets", sk::RegSetUpControlSets(CurrentControlSet()));
        links_.throughBootDevice = options_.systemRootThroughBootDevice;
        links_.arcOpens = options_.arcPathOpens;
        Check("early-boot links", sk::SetUpEarlyBootLinks(links_));
        if (options_.softwareLoadedAtDriverLoad)
            Check("loading SOFTWARE", LoadHive(Hive::Software));
        sk::SetUptime(options_.driverLoadSeconds);

        /* Calls count from here; the observer cuts the power. */
        sk::ClearFaults();
        excluded_ = 0;
        sk::SetCallObserver([this](const char *routine, uint64_t number) {
            Observe(routine, number);
        });
        Stage(BootStage::EarlyBoot);

        PDRIVER_OBJECT driver = sk::CreateDriverObject(u"\\Driver\\Qelmbar");
        status = sk::CallDriverEntry(driver, DriverEntry, kServiceRegistryPath);
        report_.entryReturned = true;
        report_.entryStatus = status;
        CaptureDriver();
        report_.driverStateFlagsAfterEntry = DriverStateFlags;
        if (QelmbarContext)
            report_.deferredAfterEntry = ListLength(QelmbarContext->DeferredList);
        Stage(BootStage::DriverLoaded);

        /* The rest of the system's hives, and \SystemRoot on the volume. */
        if (!options_.softwareLoadedAtDriverLoad)
            Check("loading SOFTWARE", LoadHive(Hive::Software));
        Check("loading SAM", LoadHive(Hive::Sam));
        Check("loading SECURITY", LoadHive(Hive::Security));
        Check("loading DEFAULT", LoadHive(Hive::Default));
        Check("late-boot links", sk::SetUpLateBootLinks(links_));
        Stage(BootStage::HivesLoaded);

        HANDLE smss = sk::CreateProcess("smss.exe");
        sk::CreateProcess("csrss.exe", smss);
        sk::WaitForWorkItems();
        Stage(BootStage::SubsystemStarted);

        sk::AdvanceUptime(options_.uptimeSeconds);
        if (options_.lazyFlush) {
            FlushAll("lazy flush");
            sk::FlushVolumes();
        }
        Stage(BootStage::UptimeElapsed);
        if (options_.powerLoss.kind == PowerLoss::Kind::AfterUptime)
            PowerOff("", 0);

        report_.shutdownRequests = sk::DeliverShutdown();
        Stage(BootStage::ShutdownDelivered);
        FlushAll("flushing at shutdown");
        sk::FlushVolumes();
        sk::TrackDurability(false);
        Stage(BootStage::HivesFlushed);

        sk::SetCallObserver(nullptr);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.platformCalls = CallsSoFar();
        }
        CaptureDriver();
        report_.openHandles = sk::OpenHandleCount();
        WriteClock(dir_, sk::PeekSystemTime());
        Send();
    }

private:
    /* Calls counted from the driver load, less those of inspections. */
    uint64_t CallsSoFar() { return sk::CallCount() - excluded_; }

    void Observe(const char *routine, uint64_t number)
    {
        if (inspecting_)
            return;
        const uint64_t call = number - excluded_;
        if (options_.recordCalls) {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.callTrace.push_back(routine);
        }
        if (options_.powerLoss.kind == PowerLoss::Kind::AtCall && call == options_.powerLoss.call)
            PowerOff(routine, call);
    }

    void Stage(BootStage stage)
    {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.lastStage = stage;
            report_.stageCalls.emplace_back(stage, CallsSoFar());
        }
        clock_ = sk::PeekSystemTime();
        if (!options_.inspect)
            return;
        const uint64_t before = sk::CallCount();
        inspecting_ = true;
        std::string text = options_.inspect(stage);
        inspecting_ = false;
        excluded_ += sk::CallCount() - before;
        if (!text.empty()) {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.inspections.emplace_back(stage, text);
        }
    }

    /* Where an operation of a list being run comes from. */
    struct Origin {
        ScriptKind script;
        std::u16string package;
        size_t index;
    };

    /* A list starts to run: which script it is, and every record's place
     * in it, taken now, before records leave it for the deferred run. */
    void TraceList(PLIST_ENTRY list)
    {
        DriverContext *context = QelmbarContext;
        TraceEvent event;
        event.kind = TraceEvent::Kind::ListRun;
        if (context && list == &context->DeferredList) {
            event.deferredRun = true;
        } else if (context && context->PackageList.Flink) {
            for (PLIST_ENTRY entry = context->PackageList.Flink; entry != &context->PackageList;
                 entry = entry->Flink) {
                const PackageRecord *package = CONTAINING_RECORD(entry, PackageRecord, Links);
                ScriptKind kind;
                if (list == &package->SetupOperations)
                    kind = ScriptKind::Setup;
                else if (list == &package->RevertOperations)
                    kind = ScriptKind::Revert;
                else if (list == &package->CleanOperations)
                    kind = ScriptKind::Clean;
                else
                    continue;
                event.script = kind;
                event.package = std::u16string(package->KeyName.Buffer,
                                               package->KeyName.Length / sizeof(WCHAR));
                break;
            }
        }
        std::lock_guard<std::mutex> guard(mutex_);
        event.stage = report_.lastStage;
        if (!event.deferredRun) {
            size_t index = 0;
            for (PLIST_ENTRY entry = list->Flink; entry != list; entry = entry->Flink)
                origins_[entry] = Origin{ event.script, event.package, index++ };
        }
        deferredRunning_ = event.deferredRun;
        report_.trace.push_back(std::move(event));
    }

    void TraceOutcome(PLIST_ENTRY entry, NTSTATUS status, bool deferred)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        TraceEvent event;
        event.kind = TraceEvent::Kind::Outcome;
        auto origin = origins_.find(entry);
        if (origin != origins_.end()) {
            event.script = origin->second.script;
            event.package = origin->second.package;
            event.index = origin->second.index;
        }
        event.deferredRun = deferredRunning_;
        event.status = status;
        event.deferred = deferred;
        event.stage = report_.lastStage;
        report_.trace.push_back(std::move(event));
        /* A record that ran is freed with its list, and its address may
         * come back for another; one left for the deferred run lives on. */
        if (!deferred && origin != origins_.end())
            origins_.erase(origin);
    }

    void Check(const std::string &step, NTSTATUS status)
    {
        if (NT_SUCCESS(status))
            return;
        std::lock_guard<std::mutex> guard(mutex_);
        report_.systemErrors.push_back(step + ": " + Status(status));
    }

    void FlushAll(const std::string &step)
    {
        for (const auto &hive : sk::LoadedHives())
            Check(step + " " + U8(hive.first), FlushKeyAt(hive.first));
    }

    void CaptureDriver()
    {
        DriverContext *context = QelmbarContext;
        report_.driverStateFlags = DriverStateFlags;
        report_.contextAvailable = context != nullptr;
        if (!context)
            return;
        report_.bootCounter = context->BootCounter;
        report_.tickCounter = context->TickCounter;
        report_.improperShutdownDetected = context->ImproperShutdownDetected != 0;
        report_.deferredRunStarted = context->DeferredRunStarted != 0;
    }

    /* The machine goes dark: the report so far goes out, and the process
     * ends without unwinding anything. */
    [[noreturn]] void PowerOff(const char *routine, uint64_t call)
    {
        bool expected = false;
        if (!poweredOff_.compare_exchange_strong(expected, true)) {
            for (;;)
                pause();
        }
        /* What the disk had not made sure of goes with the power. */
        sk::CutPower(options_.powerLoss.surviving);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.powerLost = true;
            report_.powerLossCall = call;
            report_.powerLossRoutine = routine;
            report_.powerLossStage = report_.lastStage;
            report_.platformCalls = call ? call - 1 : CallsSoFar();
            CaptureDriver();
            Encoder encoder;
            EncodeReport(report_, &encoder);
            WriteClock(dir_, clock_);
            WriteAll(fd_, encoder.Bytes());
        }
        _exit(0);
    }

    void Fail(const std::string &message)
    {
        report_.failure = message;
        Send();
    }

    void Send()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        Encoder encoder;
        EncodeReport(report_, &encoder);
        WriteAll(fd_, encoder.Bytes());
    }

    const std::string dir_;
    const BootOptions &options_;
    const int fd_;
    sk::BootLinks links_;
    std::mutex mutex_;
    BootReport report_;
    std::map<PLIST_ENTRY, Origin> origins_;
    bool deferredRunning_ = false;
    std::atomic<bool> inspecting_{ false };
    std::atomic<bool> poweredOff_{ false };
    std::atomic<uint64_t> excluded_{ 0 };
    LONGLONG clock_ = 0;
};

} // namespace

/* ---- layout ----------------------------------------------------------- */

const char *HiveFileName(Hive hive)
{
    switch (hive) {
    case Hive::System: return "SYSTEM";
    case Hive::Software: return "SOFTWARE";
    case Hive::Sam: return "SAM";
    case Hive::Security: return "SECURITY";
    case Hive::Default: return "DEFAULT";
    }
    return "?";
}

std::u16string HiveMountPath(Hive hive)
{
    if (hive == Hive::Default)
        return u"\\REGISTRY\\USER\\.DEFAULT";
    return u"\\REGISTRY\\MACHINE\\" + U16(HiveFileName(hive));
}

std::string VolumeRoot(const std::string &dir)
{
    return (fs::path(dir) / "C").string();
}

std::string HiveFilePath(const std::string &dir, Hive hive)
{
    return (fs::path(VolumeRoot(dir)) / "Windows" / "System32" / "config" / HiveFileName(hive))
        .string();
}

std::optional<std::string> HostPathOf(const std::string &dir, const std::u16string &ntPath)
{
    static const std::pair<const char16_t *, const char16_t *> prefixes[] = {
        { u"\\??\\C:", u"" },
        { u"\\DosDevices\\C:", u"" },
        { u"\\GLOBAL??\\C:", u"" },
        { u"\\Device\\HarddiskVolume1", u"" },
        { u"\\SystemRoot", u"\\Windows" },
        { u"C:", u"" },
    };
    for (const auto &prefix : prefixes) {
        const std::u16string_view p(prefix.first);
        if (ntPath.size() < p.size() ||
            !EqualsIgnoringCase(std::u16string_view(ntPath).substr(0, p.size()), p))
            continue;
        if (ntPath.size() > p.size() && ntPath[p.size()] != u'\\')
            continue;
        fs::path host = VolumeRoot(dir);
        for (const std::u16string &part : SplitPath(prefix.second + ntPath.substr(p.size())))
            host /= U8(part);
        return host.string();
    }
    return std::nullopt;
}

/* ---- machines --------------------------------------------------------- */

bool CreateMachine(const std::string &dir, std::string *error)
{
    std::error_code ec;
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) {
            SetError(error, dir + ": exists and is no directory");
            return false;
        }
        if (!fs::is_empty(dir, ec)) {
            SetError(error, dir + ": exists and is not empty");
            return false;
        }
    }
    const fs::path windows = fs::path(VolumeRoot(dir)) / "Windows";
    for (const fs::path &sub : { windows / "System32" / "config", windows / "System32" / "drivers",
                                 windows / "Temp" }) {
        fs::create_directories(sub, ec);
        if (ec) {
            SetError(error, sub.string() + ": " + ec.message());
            return false;
        }
    }
    {
        std::ofstream image(windows / "System32" / "drivers" / "qelmbar.sys", std::ios::binary);
        if (!image) {
            SetError(error, (windows / "System32" / "drivers" / "qelmbar.sys").string() +
                                ": cannot be created");
            return false;
        }
    }

    bool wrote = WorkInChild(
        [&] {
            sk::ResetKernel();
            std::string message;
            auto check = [&](const std::string &step, NTSTATUS status) {
                if (!NT_SUCCESS(status) && message.empty())
                    message = step + ": " + Status(status);
            };
            for (Hive hive : kAllHives)
                check(std::string("mounting ") + HiveFileName(hive),
                      sk::MountHive(HiveMountPath(hive), U16(HiveFileName(hive)),
                                    U16(HiveFilePath(dir, hive))));

            const std::u16string system = HiveMountPath(Hive::System);
            const std::u16string select = system + u"\\Select";
            check("Select", sk::RegCreateKey(select));
            check("Select", sk::RegSetDword(select, u"Current", 1));
            check("Select", sk::RegSetDword(select, u"Default", 1));
            check("Select", sk::RegSetDword(select, u"Failed", 0));
            check("Select", sk::RegSetDword(select, u"LastKnownGood", 1));
            const std::u16string service = system + u"\\" + kServiceKey;
            check("service", sk::RegCreateKey(service));
            check("service", sk::RegSetDword(service, u"Type", 1));
            check("service", sk::RegSetDword(service, u"Start", 0));
            check("service", sk::RegSetDword(service, u"ErrorControl", 1));
            check("service", sk::RegSetString(service, u"ImagePath",
                                              u"System32\\drivers\\qelmbar.sys", REG_EXPAND_SZ));
            check("service", sk::RegSetString(service, u"Group", u"Boot Bus Extender"));
            check("Class", sk::RegCreateKey(system + u"\\ControlSet001\\Control\\Class"));

            const std::u16string version =
                HiveMountPath(Hive::Software) + u"\\Microsoft\\Windows NT\\CurrentVersion";
            check("CurrentVersion", sk::RegCreateKey(version));
            check("CurrentVersion", sk::RegSetString(version, u"SystemRoot", u"C:\\Windows"));
            check("CurrentVersion", sk::RegSetString(version, u"CurrentBuildNumber", u"19045"));
            check("SAM", sk::RegCreateKey(HiveMountPath(Hive::Sam) + u"\\SAM\\Domains\\Account"));
            check("SECURITY", sk::RegCreateKey(HiveMountPath(Hive::Security) + u"\\Policy"));
            check("DEFAULT", sk::RegCreateKey(HiveMountPath(Hive::Default) + u"\\Control Panel"));
            check("DEFAULT", sk::RegCreateKey(HiveMountPath(Hive::Default) + u"\\Software"));

            for (Hive hive : kAllHives)
                check(std::string("writing ") + HiveFileName(hive), FlushKeyAt(HiveMountPath(hive)));
            return message;
        },
        error);
    if (!wrote)
        return false;
    for (Hive hive : kAllHives) {
        if (!ReadHive(dir, hive, error))
            return false;
    }
    return true;
}

bool CopyMachine(const std::string &src, const std::string &dst, std::string *error)
{
    std::error_code ec;
    if (!fs::is_directory(src, ec)) {
        SetError(error, src + ": no machine directory");
        return false;
    }
    if (fs::exists(dst, ec)) {
        SetError(error, dst + ": exists already");
        return false;
    }
    if (!fs::create_directories(dst, ec)) {
        SetError(error, dst + ": " + ec.message());
        return false;
    }
    for (auto it = fs::recursive_directory_iterator(src, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const fs::path from = it->path();
        const fs::path to = fs::path(dst) / fs::relative(from, src);
        if (it->is_symlink(ec)) {
            fs::copy_symlink(from, to, ec);
        } else if (it->is_directory(ec)) {
            fs::create_directory(to, ec);
        } else {
            fs::copy_file(from, to, ec);
        }
        if (ec) {
            SetError(error, to.string() + ": " + ec.message());
            return false;
        }
        if (!CopyAttributes(from, to, error))
            return false;
    }
    if (ec) {
        SetError(error, src + ": " + ec.message());
        return false;
    }
    return true;
}

/* ---- reading and changing hive files ------------------------------------ */

namespace {

/* The key at keyPath in the hive's file as it is now; *root keeps the
 * tree read alive. */
const sk::reg::Key *ReadOfflineKey(const std::string &dir, Hive hive, const std::u16string &keyPath,
                                   std::shared_ptr<sk::reg::Key> *root, std::string *error)
{
    *root = ReadHive(dir, hive, error);
    return *root ? FindOffline(**root, hive, keyPath, error) : nullptr;
}

} // namespace

std::optional<MachineValue> ReadMachineValue(const std::string &dir, Hive hive,
                                             const std::u16string &keyPath,
                                             const std::u16string &valueName, std::string *error)
{
    std::shared_ptr<sk::reg::Key> root;
    const sk::reg::Key *key = ReadOfflineKey(dir, hive, keyPath, &root, error);
    if (!key)
        return std::nullopt;
    for (const sk::reg::Value &value : key->values) {
        if (EqualsIgnoringCase(value.name, valueName))
            return MachineValue{ value.type, value.data };
    }
    SetError(error, std::string(HiveFileName(hive)) + "\\" + U8(keyPath) + ": no value \"" +
                        U8(valueName) + "\"");
    return std::nullopt;
}

std::optional<std::vector<std::u16string>> ReadMachineKeys(const std::string &dir, Hive hive,
                                                           const std::u16string &keyPath,
                                                           std::string *error)
{
    std::shared_ptr<sk::reg::Key> root;
    const sk::reg::Key *key = ReadOfflineKey(dir, hive, keyPath, &root, error);
    if (!key)
        return std::nullopt;
    std::vector<std::u16string> names;
    for (const auto &subkey : key->subkeys)
        names.push_back(subkey->name);
    return names;
}

std::optional<std::vector<std::u16string>> ReadMachineValueNames(const std::string &dir, Hive hive,
                                                                 const std::u16string &keyPath,
                                                                 std::string *error)
{
    std::shared_ptr<sk::reg::Key> root;
    const sk::reg::Key *key = ReadOfflineKey(dir, hive, keyPath, &root, error);
    if (!key)
        return std::nullopt;
    std::vector<std::u16string> names;
    for (const sk::reg::Value &value : key->values)
        names.push_back(value.name);
    return names;
}

bool MachineKeyExists(const std::string &dir, Hive hive, const std::u16string &keyPath)
{
    std::shared_ptr<sk::reg::Key> root = ReadHive(dir, hive, nullptr);
    return root && FindOffline(*root, hive, keyPath, nullptr);
}

bool EditMachineHive(const std::string &dir, Hive hive,
                     const std::function<std::string(const std::u16string &root)> &edit,
                     std::string *error)
{
    return EditInChild(dir, hive, edit, error);
}

namespace {

/* The absolute path of a key of the loaded hive, in the child. */
std::u16string LivePath(Hive hive, const std::u16string &root, const std::u16string &keyPath)
{
    const std::u16string mapped = MapControlSet(hive, keyPath, CurrentControlSet());
    return mapped.empty() ? root : root + u"\\" + mapped;
}

} // namespace

bool SetMachineValue(const std::string &dir, Hive hive, const std::u16string &keyPath,
                     const std::u16string &name, ULONG type, const std::vector<uint8_t> &data,
                     std::string *error)
{
    return EditInChild(
        dir, hive,
        [&](const std::u16string &root) {
            const std::u16string path = LivePath(hive, root, keyPath);
            NTSTATUS status = sk::RegCreateKey(path);
            if (NT_SUCCESS(status))
                status = sk::RegSetValue(path, name, type, data);
            return NT_SUCCESS(status) ? std::string() : U8(path) + ": " + Status(status);
        },
        error);
}

bool DeleteMachineValue(const std::string &dir, Hive hive, const std::u16string &keyPath,
                        const std::u16string &name, std::string *error)
{
    return EditInChild(
        dir, hive,
        [&](const std::u16string &root) {
            const std::u16string path = LivePath(hive, root, keyPath);
            NTSTATUS status = sk::RegDeleteValue(path, name);
            return NT_SUCCESS(status) ? std::string()
                                      : U8(path) + " \"" + U8(name) + "\": " + Status(status);
        },
        error);
}

bool CreateMachineKey(const std::string &dir, Hive hive, const std::u16string &keyPath,
                      std::string *error)
{
    return EditInChild(
        dir, hive,
        [&](const std::u16string &root) {
            const std::u16string path = LivePath(hive, root, keyPath);
            NTSTATUS status = sk::RegCreateKey(path);
            return NT_SUCCESS(status) ? std::string() : U8(path) + ": " + Status(status);
        },
        error);
}

bool DeleteMachineKey(const std::string &dir, Hive hive, const std::u16string &keyPath,
                      std::string *error)
{
    if (SplitPath(keyPath).empty()) {
        SetError(error, std::string(HiveFileName(hive)) + ": the hive's root cannot be deleted");
        return false;
    }
    return EditInChild(
        dir, hive,
        [&](const std::u16string &root) {
            const std::u16string path = LivePath(hive, root, keyPath);
            NTSTATUS status = sk::RegDeleteTree(path);
            return NT_SUCCESS(status) ? std::string() : U8(path) + ": " + Status(status);
        },
        error);
}

std::vector<uint8_t> DwordData(ULONG value)
{
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &value, 4);
    return data;
}

std::vector<uint8_t> StringData(const std::u16string &text)
{
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    return data;
}

std::vector<uint8_t> MultiStringData(const std::vector<std::u16string> &strings)
{
    std::vector<uint8_t> data;
    for (const std::u16string &s : strings) {
        std::vector<uint8_t> one = StringData(s);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::optional<ULONG> AsDword(const std::optional<MachineValue> &value)
{
    if (!value || value->type != REG_DWORD || value->data.size() != 4)
        return std::nullopt;
    ULONG v;
    memcpy(&v, value->data.data(), 4);
    return v;
}

std::optional<std::u16string> AsString(const std::optional<MachineValue> &value)
{
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string text(value->data.size() / 2, u'\0');
    memcpy(text.data(), value->data.data(), text.size() * 2);
    size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos)
        text.resize(nul);
    return text;
}

std::optional<std::vector<std::u16string>> AsMultiString(const std::optional<MachineValue> &value)
{
    if (!value || value->type != REG_MULTI_SZ)
        return std::nullopt;
    std::u16string all(value->data.size() / 2, u'\0');
    memcpy(all.data(), value->data.data(), all.size() * 2);
    std::vector<std::u16string> strings;
    size_t at = 0;
    while (at < all.size()) {
        size_t nul = all.find(u'\0', at);
        if (nul == std::u16string::npos)
            nul = all.size();
        if (nul == at)
            break;
        strings.push_back(all.substr(at, nul - at));
        at = nul + 1;
    }
    return strings;
}

bool StageOneShotList(const std::string &dir, const std::vector<std::u16string> &operations,
                      std::string *error)
{
    return SetMachineValue(dir, Hive::System, kParametersKey, u"BootTimeOperationsList",
                           REG_MULTI_SZ, MultiStringData(operations), error);
}

bool StagePackage(const std::string &dir, const std::u16string &name, const PackageSpec &package,
                  std::string *error)
{
    return EditInChild(
        dir, Hive::System,
        [&](const std::u16string &root) {
            const std::u16string path = root + u"\\" + kParametersKey + u"\\" + name;
            std::string message;
            auto check = [&](NTSTATUS status) {
                if (!NT_SUCCESS(status) && message.empty())
                    message = U8(path) + ": " + Status(status);
            };
            check(sk::RegCreateKey(path));
            check(sk::RegSetString(path, u"", u"Package"));
            if (!package.setupOperations.empty())
                check(sk::RegSetMultiString(path, u"SetupOperations", package.setupOperations));
            if (!package.revertOperations.empty())
                check(sk::RegSetMultiString(path, u"RevertOperations", package.revertOperations));
            if (!package.cleanOperations.empty())
                check(sk::RegSetMultiString(path, u"CleanOperations", package.cleanOperations));
            if (package.bootTimeout)
                check(sk::RegSetDword(path, u"BootTimeout", package.bootTimeout));
            if (package.tickTimeout)
                check(sk::RegSetDword(path, u"TickTimeout", package.tickTimeout));
            return message;
        },
        error);
}

namespace {

MachineKey CopyOfflineKey(const sk::reg::Key &key, int depth)
{
    MachineKey copy;
    copy.name = key.name;
    for (const sk::reg::Value &value : key.values)
        copy.values.emplace_back(value.name, MachineValue{ value.type, value.data });
    if (depth != 0) {
        for (const auto &subkey : key.subkeys)
            copy.subkeys.push_back(CopyOfflineKey(*subkey, depth < 0 ? depth : depth - 1));
    }
    return copy;
}

} // namespace

HiveFileRead ReadHiveFileKey(const std::string &file, Hive hive, const std::u16string &keyPath,
                             int depth)
{
    HiveFileRead read;
    std::shared_ptr<sk::reg::Key> root;
    NTSTATUS status = sk::reg::ReadHiveFile(file, &root);
    if (!NT_SUCCESS(status)) {
        read.error = file + ": " + Status(status);
        return read;
    }
    read.fileRead = true;
    read.keyPath = NeedsControlSet(hive, keyPath)
                       ? MapControlSet(hive, keyPath, OfflineCurrentControlSet(*root))
                       : JoinPath(SplitPath(keyPath));
    if (const sk::reg::Key *key = FindOffline(*root, hive, keyPath, &read.error))
        read.key = CopyOfflineKey(*key, depth);
    return read;
}

bool EditHiveFile(const std::string &file, Hive hive,
                  const std::function<std::string(const std::u16string &root)> &edit,
                  std::string *error)
{
    /* The file is reached as NT would reach it: through a volume over its
     * directory.  Its real path, so that the save replaces the file a
     * symbolic link names rather than the link. */
    std::error_code ec;
    const fs::path host = fs::canonical(file, ec);
    if (ec || !fs::is_regular_file(host, ec)) {
        SetError(error, file + ": " + (ec ? ec.message() : std::string("not a regular file")));
        return false;
    }
    return EditLoadedHive(
        hive,
        [&] {
            sk::ResetKernel();
            NTSTATUS status = sk::AddVolume(kVolumeDevice, host.parent_path().string());
            if (!NT_SUCCESS(status))
                return "a volume over " + host.parent_path().string() + ": " + Status(status);
            status = LoadHiveFrom(hive, kVolumeDevice + std::u16string(u"\\") +
                                            U16(host.filename().string()));
            if (!NT_SUCCESS(status))
                return "loading " + host.string() + ": " + Status(status);
            return std::string();
        },
        "writing " + host.string(), edit, error);
}

/* ---- boots -------------------------------------------------------------- */

const char *ScriptKindName(ScriptKind kind)
{
    switch (kind) {
    case ScriptKind::OneShot: return "one-shot list";
    case ScriptKind::Setup: return "setup";
    case ScriptKind::Revert: return "revert";
    case ScriptKind::Clean: return "clean";
    }
    return "script";
}

const char *BootStageName(BootStage stage)
{
    switch (stage) {
    case BootStage::Start: return "start";
    case BootStage::EarlyBoot: return "early boot";
    case BootStage::DriverLoaded: return "driver loaded";
    case BootStage::HivesLoaded: return "hives loaded";
    case BootStage::SubsystemStarted: return "subsystem started";
    case BootStage::UptimeElapsed: return "uptime elapsed";
    case BootStage::ShutdownDelivered: return "shutdown delivered";
    case BootStage::HivesFlushed: return "hives flushed";
    }
    return "?";
}

std::optional<uint64_t> BootReport::CallsAt(BootStage stage) const
{
    for (const auto &entry : stageCalls) {
        if (entry.first == stage)
            return entry.second;
    }
    return std::nullopt;
}

std::string BootReport::Summary() const
{
    std::string text;
    char line[256];
    if (!completed)
        text += "boot failed: " + failure + "\n";
    snprintf(line, sizeof(line), "last stage: %s; %llu platform call(s)\n",
             BootStageName(lastStage), (unsigned long long)platformCalls);
    text += line;
    if (entryReturned)
        text += "driver entry: " + Status(entryStatus) + "\n";
    if (powerLost) {
        if (powerLossCall)
            snprintf(line, sizeof(line), "power lost at call %llu (%s), after stage %s\n",
                     (unsigned long long)powerLossCall, powerLossRoutine.c_str(),
                     BootStageName(powerLossStage));
        else
            snprintf(line, sizeof(line), "power lost after the uptime\n");
        text += line;
    }
    if (contextAvailable) {
        snprintf(line, sizeof(line),
                 "BootCounter %u, TickCounter %u, improper shutdown %s, deferred %zu, "
                 "deferred run %s, state flags 0x%x\n",
                 (unsigned)bootCounter, (unsigned)tickCounter,
                 improperShutdownDetected ? "detected" : "not detected", deferredAfterEntry,
                 deferredRunStarted ? "started" : "not started", (unsigned)driverStateFlags);
        text += line;
    }
    for (const std::string &error : systemErrors)
        text += "system: " + error + "\n";
    for (const std::string &violation : violations)
        text += "violation: " + violation + "\n";
    for (const auto &inspection : inspections)
        text += std::string("at ") + BootStageName(inspection.first) + ": " + inspection.second +
                "\n";
    return text;
}

bool Boot(const std::string &dir, const BootOptions &options, BootReport *report)
{
    *report = BootReport();
    std::error_code ec;
    if (!fs::is_directory(VolumeRoot(dir), ec)) {
        report->failure = dir + ": no machine directory";
        return false;
    }
    std::string output;
    std::string failure;
    bool ran = RunChild(
        [&](int fd) {
            BootRun run(dir, options, fd);
            run.Run();
        },
        options.watchdogSeconds, &output, &failure);
    if (!ran) {
        report->failure = failure;
        return false;
    }
    if (output.empty() || !DecodeReport(output, report)) {
        *report = BootReport();
        report->failure = "the boot sent no readable report";
        return false;
    }
    report->completed = report->failure.empty();
    return report->completed;
}

} // namespace qm
