/*
 * file_info.cpp - ZwQueryInformationFile and ZwSetInformationFile.
 *
 * Modelled: FileBasicInformation (query and set), FileStandardInformation
 * and FilePositionInformation (query; position also set),
 * FileDispositionInformation and FileRenameInformation (set).  The I/O
 * manager's order of checks is kept: the class, then the length, then the
 * handle's access, then what the file system checks.  Other classes NT
 * knows answer STATUS_NOT_IMPLEMENTED.
 */
#include "simkernel/clock.h"
#include "simkernel/volume.h"

#include <unistd.h>

using namespace sk;
using namespace sk::fs;

namespace {

/* Times in a FileBasicInformation set: 0 leaves the time alone, -1 stops
 * this handle from stamping it, -2 lets it stamp it again. */
constexpr LONGLONG kKeepTime = -1;
constexpr LONGLONG kResumeTime = -2;

struct ClassRule {
    ULONG minimum;
    ACCESS_MASK access;
};

/* STATUS_SUCCESS with the rule, STATUS_NOT_IMPLEMENTED for a class NT
 * takes there but the model does not, STATUS_INVALID_INFO_CLASS else. */
NTSTATUS QueryRule(FILE_INFORMATION_CLASS infoClass, ClassRule *rule)
{
    switch (infoClass) {
    case FileBasicInformation:
        *rule = {sizeof(FILE_BASIC_INFORMATION), FILE_READ_ATTRIBUTES};
        return STATUS_SUCCESS;
    case FileStandardInformation:
        *rule = {sizeof(FILE_STANDARD_INFORMATION), 0};
        return STATUS_SUCCESS;
    case FilePositionInformation:
        *rule = {sizeof(FILE_POSITION_INFORMATION), 0};
        return STATUS_SUCCESS;
    case FileDirectoryInformation:
    case FileFullDirectoryInformation:
    case FileBothDirectoryInformation:
    case FileRenameInformation:
    case FileLinkInformation:
    case FileNamesInformation:
    case FileDispositionInformation:
    case FileAllocationInformation:
    case FileEndOfFileInformation:
        return STATUS_INVALID_INFO_CLASS;
    default:
        return infoClass > 0 && infoClass < FileMaximumInformation ? STATUS_NOT_IMPLEMENTED
                                                                   : STATUS_INVALID_INFO_CLASS;
    }
}

NTSTATUS SetRule(FILE_INFORMATION_CLASS infoClass, ClassRule *rule)
{
    switch (infoClass) {
    case FileBasicInformation:
        *rule = {sizeof(FILE_BASIC_INFORMATION), FILE_WRITE_ATTRIBUTES};
        return STATUS_SUCCESS;
    case FileRenameInformation:
        *rule = {sizeof(FILE_RENAME_INFORMATION), DELETE};
        return STATUS_SUCCESS;
    case FileDispositionInformation:
        *rule = {sizeof(FILE_DISPOSITION_INFORMATION), DELETE};
        return STATUS_SUCCESS;
    case FilePositionInformation:
        *rule = {sizeof(FILE_POSITION_INFORMATION), 0};
        return STATUS_SUCCESS;
    case FileLinkInformation:
    case FileModeInformation:
    case FileAllocationInformation:
    case FileEndOfFileInformation:
        return STATUS_NOT_IMPLEMENTED;
    default:
        switch ((int)infoClass) {
        case 39: /* FileValidDataLengthInformation */
        case 40: /* FileShortNameInformation */
        case 64: /* FileDispositionInformationEx */
        case 65: /* FileRenameInformationEx */
        case 71: /* FileCaseSensitiveInformation */
        case 72: /* FileLinkInformationEx */
            return STATUS_NOT_IMPLEMENTED;
        default:
            return STATUS_INVALID_INFO_CLASS;
        }
    }
}

NTSTATUS Reference(const char *routine, HANDLE handle, PIO_STATUS_BLOCK ioStatus, PVOID buffer,
                   ULONG length, FILE_INFORMATION_CLASS infoClass, bool setting,
                   std::shared_ptr<FileObject> *file)
{
    if (!ioStatus || !buffer) {
        Violation("%s: no %s", routine, !ioStatus ? "IoStatusBlock" : "FileInformation");
        return STATUS_ACCESS_VIOLATION;
    }
    ClassRule rule;
    NTSTATUS status = setting ? SetRule(infoClass, &rule) : QueryRule(infoClass, &rule);
    if (!NT_SUCCESS(status))
        return status;
    if (length < rule.minimum)
        return STATUS_INFO_LENGTH_MISMATCH;
    status = ReferenceFile(handle, rule.access, file);
    if (NT_SUCCESS(status) && (*file)->IsVolume())
        return STATUS_NOT_IMPLEMENTED;
    return status;
}

LARGE_INTEGER Large(LONGLONG value)
{
    LARGE_INTEGER li;
    li.QuadPart = value;
    return li;
}

void QueryStandard(FileObject &file, FILE_STANDARD_INFORMATION *info)
{
    struct stat st = {};
    lstat(HostPath(*file.volume, file.path).c_str(), &st);
    const bool data = file.node->kind == EntryKind::File;
    info->EndOfFile = Large(data ? st.st_size : 0);
    info->AllocationSize = Large(data ? AllocationFor(st.st_size) : 0);
    info->NumberOfLinks = data ? (ULONG)st.st_nlink : 1;
    info->DeletePending = file.node->deletePending;
    info->Directory = file.IsDirectory() ||
                      (file.IsLink() && LinkPointsAtDirectory(HostPath(*file.volume, file.path)));
}

NTSTATUS SetBasic(FileObject &file, const FILE_BASIC_INFORMATION &info)
{
    const LONGLONG given[4] = {info.CreationTime.QuadPart, info.LastAccessTime.QuadPart,
                               info.LastWriteTime.QuadPart, info.ChangeTime.QuadPart};
    for (LONGLONG time : given) {
        if (time < kResumeTime)
            return STATUS_INVALID_PARAMETER;
    }
    const bool directory = file.IsDirectory() ||
                           (file.IsLink() && LinkPointsAtDirectory(HostPath(*file.volume, file.path)));
    if (info.FileAttributes) {
        if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !directory)
            return STATUS_INVALID_PARAMETER;
        if ((info.FileAttributes & FILE_ATTRIBUTE_TEMPORARY) && directory)
            return STATUS_INVALID_PARAMETER;
    }
    Record &record = NodeRecord(file);
    LONGLONG *times[4] = {&record.creationTime, &record.lastAccessTime, &record.lastWriteTime,
                          &record.changeTime};
    bool *keeps[4] = {nullptr, &file.keepLastAccess, &file.keepLastWrite, &file.keepChange};
    bool changed = false;
    for (int i = 0; i < 4; ++i) {
        if (given[i] == 0)
            continue;
        if (given[i] == kKeepTime || given[i] == kResumeTime) {
            if (keeps[i])
                *keeps[i] = given[i] == kKeepTime;
            continue;
        }
        *times[i] = given[i];
        if (keeps[i])
            *keeps[i] = true;
        changed = true;
    }
    if (info.FileAttributes) {
        const ULONG kindBits = record.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        record.attributes =
            (info.FileAttributes & FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL) | kindBits;
        changed = true;
    }
    if (changed && given[3] <= 0 && !file.keepChange)
        record.changeTime = SystemTimeNow();
    if (changed) {
        NTSTATUS status =
            StoreRecord(file.volume.get(), HostPath(*file.volume, file.path), record);
        if (!NT_SUCCESS(status))
            return status;
        file.node->recordDirty = false;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetDisposition(FileObject &file, const FILE_DISPOSITION_INFORMATION &info)
{
    if (!info.DeleteFile) {
        file.node->deletePending = false;
        return STATUS_SUCCESS;
    }
    if (file.IsRoot() || (NodeRecord(file).attributes & FILE_ATTRIBUTE_READONLY))
        return STATUS_CANNOT_DELETE;
    if (file.IsDirectory() && !HostDirectoryEmpty(HostPath(*file.volume, file.path)))
        return STATUS_DIRECTORY_NOT_EMPTY;
    file.node->deletePending = true;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass)
{
    SK_ENTER("ZwQueryInformationFile");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<FileObject> file;
    NTSTATUS status = Reference("ZwQueryInformationFile", FileHandle, IoStatusBlock, FileInformation,
                                Length, FileInformationClass, false, &file);
    if (!NT_SUCCESS(status))
        return status;
    ULONG written = 0;
    switch (FileInformationClass) {
    case FileBasicInformation: {
        const Record &record = NodeRecord(*file);
        FILE_BASIC_INFORMATION info = {};
        info.CreationTime = Large(record.creationTime);
        info.LastAccessTime = Large(record.lastAccessTime);
        info.LastWriteTime = Large(record.lastWriteTime);
        info.ChangeTime = Large(record.changeTime);
        info.FileAttributes = ReportedAttributes(record.attributes);
        memcpy(FileInformation, &info, sizeof(info));
        written = sizeof(info);
        break;
    }
    case FileStandardInformation: {
        FILE_STANDARD_INFORMATION info = {};
        QueryStandard(*file, &info);
        memcpy(FileInformation, &info, sizeof(info));
        written = sizeof(info);
        break;
    }
    default: {
        FILE_POSITION_INFORMATION info = {};
        info.CurrentByteOffset = Large(file->position);
        memcpy(FileInformation, &info, sizeof(info));
        written = sizeof(info);
        break;
    }
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = written;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                    PVOID FileInformation, ULONG Length,
                                    FILE_INFORMATION_CLASS FileInformationClass)
{
    SK_ENTER("ZwSetInformationFile");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<FileObject> file;
    NTSTATUS status = Reference("ZwSetInformationFile", FileHandle, IoStatusBlock, FileInformation,
                                Length, FileInformationClass, true, &file);
    if (!NT_SUCCESS(status))
        return status;
    switch (FileInformationClass) {
    case FileBasicInformation: {
        FILE_BASIC_INFORMATION info;
        memcpy(&info, FileInformation, sizeof(info));
        status = SetBasic(*file, info);
        break;
    }
    case FileDispositionInformation: {
        FILE_DISPOSITION_INFORMATION info;
        memcpy(&info, FileInformation, sizeof(info));
        status = SetDisposition(*file, info);
        break;
    }
    case FileRenameInformation:
        status = RenameFile(*file, *(const FILE_RENAME_INFORMATION *)FileInformation, Length);
        break;
    default: {
        FILE_POSITION_INFORMATION info;
        memcpy(&info, FileInformation, sizeof(info));
        if (info.CurrentByteOffset.QuadPart < 0)
            return STATUS_INVALID_PARAMETER;
        file->position = info.CurrentByteOffset.QuadPart;
        break;
    }
    }
    if (!NT_SUCCESS(status))
        return status;
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = 0;
    return STATUS_SUCCESS;
}
