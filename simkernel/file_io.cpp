/*
 * file_io.cpp - ZwReadFile, ZwWriteFile and ZwFlushBuffersFile.
 *
 * I/O is synchronous: on a handle opened with FILE_SYNCHRONOUS_IO_* it
 * runs at the current position (or the offset given) and moves it on.
 * Asynchronous handles, events, APC routines and keys are not modelled:
 * a flush on an asynchronous handle is a violation that flushes nothing.
 * Writes stamp the last-write and change times and set the archive
 * attribute, as NTFS does, unless the handle was told to keep the time.
 */
#include "simkernel/clock.h"
#include "simkernel/volume.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

using namespace sk;
using namespace sk::fs;

namespace {

/* ByteOffset values that stand for the current position and for the end
 * of the file. */
constexpr LONGLONG kUseFilePointer = -2;
constexpr LONGLONG kWriteToEnd = -1;

struct IoRequest {
    const char *routine;
    HANDLE fileHandle;
    HANDLE event;
    PIO_APC_ROUTINE apcRoutine;
    PIO_STATUS_BLOCK ioStatus;
    PVOID buffer;
    ULONG length;
    PLARGE_INTEGER byteOffset;
    PULONG key;
};

NTSTATUS Prepare(const IoRequest &r, ACCESS_MASK needed, std::shared_ptr<FileObject> *file,
                 LONGLONG *offset, bool writing)
{
    if (!r.ioStatus) {
        Violation("%s: no IoStatusBlock", r.routine);
        return STATUS_ACCESS_VIOLATION;
    }
    if (r.length && !r.buffer) {
        Violation("%s: Length %u without a buffer", r.routine, r.length);
        return STATUS_ACCESS_VIOLATION;
    }
    if (r.event || r.apcRoutine || r.key)
        return STATUS_NOT_IMPLEMENTED;
    HandleEntry entry;
    NTSTATUS status = ReferenceHandle(r.fileHandle, ObjectKind::File, &entry);
    if (!NT_SUCCESS(status))
        return status;
    /* Appending is writing too. */
    if (!(entry.granted & needed))
        return STATUS_ACCESS_DENIED;
    *file = std::static_pointer_cast<FileObject>(entry.object);
    FileObject &f = **file;
    if (f.IsDirectory())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (f.IsLink() || f.IsVolume())
        return STATUS_NOT_IMPLEMENTED;
    if (!f.synchronous)
        return r.byteOffset ? STATUS_NOT_IMPLEMENTED : STATUS_INVALID_PARAMETER;
    LONGLONG at = f.position;
    if (r.byteOffset && r.byteOffset->QuadPart != kUseFilePointer) {
        at = r.byteOffset->QuadPart;
        if (at == kWriteToEnd && writing)
            at = -1;
        else if (at < 0)
            return STATUS_INVALID_PARAMETER;
    }
    /* A handle that may only append writes at the end. */
    if (writing && !(entry.granted & FILE_WRITE_DATA))
        at = -1;
    if (at == -1) {
        struct stat st;
        if (fstat(f.fd, &st) != 0)
            return StatusFromErrno(errno);
        at = st.st_size;
    }
    *offset = at;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                          PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                          ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    SK_ENTER("ZwReadFile");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    (void)ApcContext;
    std::shared_ptr<FileObject> file;
    LONGLONG offset = 0;
    NTSTATUS status = Prepare({"ZwReadFile", FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer,
                               Length, ByteOffset, Key},
                              FILE_READ_DATA, &file, &offset, false);
    if (!NT_SUCCESS(status))
        return status;
    if (Length == 0) {
        IoStatusBlock->Status = STATUS_SUCCESS;
        IoStatusBlock->Information = 0;
        return STATUS_SUCCESS;
    }
    size_t done = 0;
    while (done < Length) {
        ssize_t n = pread(file->fd, (uint8_t *)Buffer + done, Length - done, (off_t)(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return StatusFromErrno(errno);
        }
        if (n == 0)
            break;
        done += (size_t)n;
    }
    if (done == 0) {
        IoStatusBlock->Status = STATUS_END_OF_FILE;
        IoStatusBlock->Information = 0;
        return STATUS_END_OF_FILE;
    }
    file->position = offset + (LONGLONG)done;
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = done;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                           PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                           ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    SK_ENTER("ZwWriteFile");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    (void)ApcContext;
    std::shared_ptr<FileObject> file;
    LONGLONG offset = 0;
    NTSTATUS status = Prepare({"ZwWriteFile", FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer,
                               Length, ByteOffset, Key},
                              FILE_WRITE_DATA | FILE_APPEND_DATA, &file, &offset, true);
    if (!NT_SUCCESS(status))
        return status;
    JournalWrite(file->volume.get(), HostPath(*file->volume, file->path), file->fd, (off_t)offset,
                 Length);
    size_t done = 0;
    while (done < Length) {
        ssize_t n = pwrite(file->fd, (const uint8_t *)Buffer + done, Length - done,
                           (off_t)(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return StatusFromErrno(errno);
        }
        done += (size_t)n;
    }
    file->position = offset + (LONGLONG)done;
    if (Length) {
        Record &record = NodeRecord(*file);
        const LONGLONG now = SystemTimeNow();
        if (!file->keepLastWrite)
            record.lastWriteTime = now;
        if (!file->keepChange)
            record.changeTime = now;
        record.attributes |= FILE_ATTRIBUTE_ARCHIVE;
        MarkDirty(*file);
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = done;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    SK_ENTER("ZwFlushBuffersFile");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!IoStatusBlock) {
        Violation("ZwFlushBuffersFile: no IoStatusBlock");
        return STATUS_ACCESS_VIOLATION;
    }
    HandleEntry entry;
    NTSTATUS status = ReferenceHandle(FileHandle, ObjectKind::File, &entry);
    if (!NT_SUCCESS(status))
        return status;
    if (!(entry.granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
        return STATUS_ACCESS_DENIED;
    auto file = std::static_pointer_cast<FileObject>(entry.object);
    /* Opens of the volume itself carry no write access (file_open.cpp). */
    if (file->IsVolume())
        return STATUS_NOT_IMPLEMENTED;
    /* On a handle not opened for synchronous I/O NT may answer
     * STATUS_PENDING and finish the flush later, which a caller that goes
     * on at once cannot rely on; the model has no asynchronous I/O, so it
     * says so and flushes nothing. */
    if (!file->synchronous) {
        Violation("ZwFlushBuffersFile: a handle opened without FILE_SYNCHRONOUS_IO_*; "
                  "the flush would complete later (STATUS_PENDING)");
        return STATUS_PENDING;
    }
    FlushNodeRecord(*file);
    JournalFlush(file->volume.get(), &file->node->id);
    const std::string host = HostPath(*file->volume, file->path);
    int fd = file->fd;
    bool opened = false;
    if (fd < 0 && !file->IsLink()) {
        fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
        opened = fd >= 0;
    }
    const int result = fd >= 0 && HostSync() ? fsync(fd) : 0;
    const int error = errno;
    if (opened)
        close(fd);
    if (result != 0)
        return StatusFromErrno(error);
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = 0;
    return STATUS_SUCCESS;
}
