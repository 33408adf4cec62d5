/*
 * file_directory.cpp - ZwQueryDirectoryFile with FileDirectoryInformation.
 *
 * Entries come as NTFS gives them: "." and ".." first (the root has
 * neither), then the names in the order of their upcased code units.  A
 * handle remembers the last name it gave and the next call goes on after
 * it, so entries that are moved, deleted or added between calls are seen
 * as NTFS would show them.  As many whole entries as fit are returned,
 * each on an 8-byte boundary; when not even the first fits, its fixed
 * part and as much of its name as fits are, with STATUS_BUFFER_OVERFLOW,
 * and the entry counts as given.
 */
#include "simkernel/upcase.h"
#include "simkernel/volume.h"


using namespace sk;
using namespace sk::fs;

namespace {

constexpr ULONG kNameOffset = FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
/* The I/O manager's least buffer: the structure with its one character,
 * rounded to 8. */
constexpr ULONG kMinimumLength = (sizeof(FILE_DIRECTORY_INFORMATION) + 7) & ~7u;

NTSTATUS CheckClass(FILE_INFORMATION_CLASS infoClass)
{
    switch ((int)infoClass) {
    case FileDirectoryInformation:
        return STATUS_SUCCESS;
    case FileFullDirectoryInformation:
    case FileBothDirectoryInformation:
    case FileNamesInformation:
    case 37: /* FileIdBothDirectoryInformation */
    case 38: /* FileIdFullDirectoryInformation */
    case 50: /* FileIdGlobalTxDirectoryInformation */
    case 60: /* FileIdExtdDirectoryInformation */
    case 63: /* FileIdExtdBothDirectoryInformation */
        return STATUS_NOT_IMPLEMENTED;
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

/* FsRtlIsNameInExpression for '*' and '?', both sides upcased. */
bool Matches(const std::u16string &expression, const std::u16string &name)
{
    size_t e = 0, n = 0, star = std::u16string::npos, resume = 0;
    while (n < name.size()) {
        if (e < expression.size() && (expression[e] == u'?' || expression[e] == name[n])) {
            ++e;
            ++n;
        } else if (e < expression.size() && expression[e] == u'*') {
            star = e++;
            resume = n;
        } else if (star != std::u16string::npos) {
            e = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (e < expression.size() && expression[e] == u'*')
        ++e;
    return e == expression.size();
}

/* The entry's line, or false when it vanished from the host. */
bool Describe(const Volume &volume, const std::u16string &path, FILE_DIRECTORY_INFORMATION *info)
{
    const std::string host = HostPath(volume, path);
    struct stat st;
    if (lstat(host.c_str(), &st) != 0)
        return false;
    const EntryKind kind = KindOf(st);
    if (kind == EntryKind::Other)
        return false;
    Record record;
    std::shared_ptr<FileNode> node = FindNode(FileId{st.st_dev, st.st_ino});
    if (node && !node->opens.empty())
        record = NodeRecord(*node->opens.front());
    else
        record = LoadRecord(&volume, host, kind, kind == EntryKind::Link && LinkPointsAtDirectory(host), st);
    memset(info, 0, kNameOffset);
    info->CreationTime.QuadPart = record.creationTime;
    info->LastAccessTime.QuadPart = record.lastAccessTime;
    info->LastWriteTime.QuadPart = record.lastWriteTime;
    info->ChangeTime.QuadPart = record.changeTime;
    const bool data = kind == EntryKind::File;
    info->EndOfFile.QuadPart = data ? st.st_size : 0;
    info->AllocationSize.QuadPart = data ? AllocationFor(st.st_size) : 0;
    info->FileAttributes = ReportedAttributes(record.attributes);
    return true;
}

} // namespace

NTSTATUS NTAPI ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                    PVOID FileInformation, ULONG Length,
                                    FILE_INFORMATION_CLASS FileInformationClass,
                                    BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                    BOOLEAN RestartScan)
{
    SK_ENTER("ZwQueryDirectoryFile");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    (void)ApcContext;
    if (!IoStatusBlock || (Length && !FileInformation)) {
        Violation("ZwQueryDirectoryFile: no %s", !IoStatusBlock ? "IoStatusBlock" : "FileInformation");
        return STATUS_ACCESS_VIOLATION;
    }
    if (Event || ApcRoutine)
        return STATUS_NOT_IMPLEMENTED;
    NTSTATUS status = CheckClass(FileInformationClass);
    if (!NT_SUCCESS(status))
        return status;
    if (Length < kMinimumLength)
        return STATUS_INFO_LENGTH_MISMATCH;
    std::shared_ptr<FileObject> file;
    status = ReferenceFile(FileHandle, FILE_LIST_DIRECTORY, &file);
    if (!NT_SUCCESS(status))
        return status;
    if (file->IsVolume())
        return STATUS_NOT_IMPLEMENTED;
    const Volume &volume = *file->volume;
    const std::string host = HostPath(volume, file->path);
    const bool junction = file->IsLink() && LinkPointsAtDirectory(host);
    if (!file->IsDirectory() && !junction)
        return STATUS_INVALID_PARAMETER;
    if (!file->synchronous)
        return STATUS_NOT_IMPLEMENTED;

    FileObject::Scan &scan = file->scan;
    if (!scan.called || (RestartScan && FileName)) {
        std::u16string filter;
        status = CaptureName("ZwQueryDirectoryFile", FileName, &filter);
        if (!NT_SUCCESS(status))
            return status;
        if (filter.find_first_of(u"<>\"") != std::u16string::npos)
            return STATUS_NOT_IMPLEMENTED;
        if (filter.empty())
            scan.filter.reset();
        else
            scan.filter = Upcase(filter);
    }
    const bool firstCall = !scan.called;
    scan.called = true;
    if (RestartScan) {
        scan.dotsGiven = 0;
        scan.hasLast = false;
    }

    /* A junction opened as itself lists its own, empty, index.  The index
     * held here stays as it is while entries are described. */
    std::shared_ptr<const DirectoryIndex> index;
    if (!junction)
        index = IndexOf(host);
    if (!index)
        index = std::make_shared<const DirectoryIndex>();
    std::vector<std::pair<std::u16string, std::u16string>> candidates; /* name, path */
    if (!file->IsRoot()) {
        static const std::u16string dots[2] = {u".", u".."};
        for (int i = scan.dotsGiven; i < 2; ++i)
            candidates.emplace_back(dots[i], i == 0 ? file->path : ParentPath(file->path));
    }
    auto from = scan.hasLast ? index->upper_bound(scan.lastName) : index->begin();

    auto *out = (uint8_t *)FileInformation;
    ULONG end = 0;     /* end of the last entry written */
    ULONG lastAt = 0;  /* where it starts */
    size_t written = 0;
    size_t next = 0;
    auto consume = [&](const std::u16string &name, bool dot) {
        if (dot)
            scan.dotsGiven++;
        else {
            scan.lastName = Upcase(name);
            scan.hasLast = true;
        }
    };
    for (;;) {
        std::u16string name, path;
        bool dot;
        if (next < candidates.size()) {
            name = candidates[next].first;
            path = candidates[next].second;
            dot = true;
            ++next;
        } else if (from != index->end()) {
            name = from->name;
            path = JoinPath(file->path, from->name);
            dot = false;
            ++from;
        } else {
            break;
        }
        if (scan.filter && !Matches(*scan.filter, Upcase(name)))
            continue;
        FILE_DIRECTORY_INFORMATION info;
        if (!Describe(volume, path, &info))
            continue;
        const ULONG nameBytes = (ULONG)(name.size() * sizeof(WCHAR));
        info.FileNameLength = nameBytes;
        const ULONG at = written ? (end + 7) & ~7u : 0;
        if ((ULONGLONG)at + kNameOffset + nameBytes > Length) {
            if (written)
                break;
            memcpy(out, &info, kNameOffset);
            memcpy(out + kNameOffset, name.data(), Length - kNameOffset);
            consume(name, dot);
            IoStatusBlock->Status = STATUS_BUFFER_OVERFLOW;
            IoStatusBlock->Information = Length;
            return STATUS_BUFFER_OVERFLOW;
        }
        if (written) {
            const ULONG offset = at - lastAt;
            memcpy(out + lastAt, &offset, sizeof(offset));
        }
        memcpy(out + at, &info, kNameOffset);
        memcpy(out + at + kNameOffset, name.data(), nameBytes);
        consume(name, dot);
        lastAt = at;
        end = at + kNameOffset + nameBytes;
        ++written;
        if (ReturnSingleEntry)
            break;
    }
    if (!written) {
        if (firstCall)
            return STATUS_NO_SUCH_FILE;
        IoStatusBlock->Status = STATUS_NO_MORE_FILES;
        IoStatusBlock->Information = 0;
        return STATUS_NO_MORE_FILES;
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = end;
    return STATUS_SUCCESS;
}
