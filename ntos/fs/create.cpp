// fs/create.cpp - opening files, directories and the volume itself:
// name checks, the create dispositions, attributes, share access, and the
// cleanup and close of an open.
//
// Kernel mode, PASSIVE_LEVEL, in the opening thread.
#include "ntos/fs/fsp.h"

namespace {

std::u16string FspUpcase(const std::u16string& Name) {
    std::u16string upper = Name;
    for (auto& c : upper) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return upper;
}

// A path from the volume root: "\" or "\a\b" with non-empty components free
// of the characters the platform refuses in names.
bool FspValidName(const std::u16string& Name) {
    if (Name.empty() || Name[0] != u'\\') {
        return false;
    }
    if (Name.size() == 1) {
        return true;
    }
    if (Name.back() == u'\\') {
        return false;
    }
    for (size_t i = 1; i < Name.size(); i++) {
        WCHAR c = Name[i];
        if ((c == u'\\' && Name[i - 1] == u'\\') || c < 0x20 || c == u'"' || c == u'*' ||
            c == u'/' || c == u':' || c == u'<' || c == u'>' || c == u'?' || c == u'|') {
            return false;
        }
    }
    return true;
}

std::u16string FspParentOf(const std::u16string& Name) {
    size_t slash = Name.rfind(u'\\');
    return slash == 0 ? std::u16string(u"\\") : Name.substr(0, slash);
}

// Whether an open with the file object's access and sharing may join the
// stream's existing opens (the platform's share access rules). Caller holds
// the volume lock.
bool FspShareAccessAllows(const FSP_STREAM* Stream, PFILE_OBJECT FileObject) {
    if (!FileObject->ReadAccess && !FileObject->WriteAccess && !FileObject->DeleteAccess) {
        return true;
    }
    const ULONG opens = Stream->OpenCount;
    return !((FileObject->ReadAccess && Stream->SharedRead < opens) ||
             (FileObject->WriteAccess && Stream->SharedWrite < opens) ||
             (FileObject->DeleteAccess && Stream->SharedDelete < opens) ||
             (Stream->Readers != 0 && !FileObject->SharedRead) ||
             (Stream->Writers != 0 && !FileObject->SharedWrite) ||
             (Stream->Deleters != 0 && !FileObject->SharedDelete));
}

// Records (Sign 1) or removes (Sign -1) the open's share access. Caller
// holds the volume lock.
void FspUpdateShareAccess(FSP_STREAM* Stream, PFILE_OBJECT FileObject, int Sign) {
    Stream->OpenCount += Sign;
    if (!FileObject->ReadAccess && !FileObject->WriteAccess && !FileObject->DeleteAccess) {
        return;
    }
    Stream->Readers += FileObject->ReadAccess ? Sign : 0;
    Stream->Writers += FileObject->WriteAccess ? Sign : 0;
    Stream->Deleters += FileObject->DeleteAccess ? Sign : 0;
    Stream->SharedRead += FileObject->SharedRead ? Sign : 0;
    Stream->SharedWrite += FileObject->SharedWrite ? Sign : 0;
    Stream->SharedDelete += FileObject->SharedDelete ? Sign : 0;
}

NTSTATUS FspComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Empties an existing file for supersede or overwrite and sets its new
// attributes.
NTSTATUS FspTruncate(FSP_STREAM* Stream, ULONG Attributes) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Stream->Resource, TRUE);
    NTSTATUS status = FspSetFileSize(Stream, 0);
    {
        std::lock_guard<std::mutex> guard(Stream->Volume->Lock);
        Stream->Attributes = Attributes;
    }
    ExReleaseResourceLite(&Stream->Resource);
    KeLeaveCriticalRegion();
    return status;
}

} // namespace

NTSTATUS FspDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FSP_VOLUME* volume = FspVolumeOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    const ULONG disposition = stack->Parameters.Create.Options >> 24;
    const ULONG options = stack->Parameters.Create.Options & FILE_VALID_OPTION_FLAGS;
    const ULONG attributes =
        stack->Parameters.Create.FileAttributes &
        (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
         FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY);
    const bool wantDirectory = (options & FILE_DIRECTORY_FILE) != 0;
    const bool wantFile = (options & FILE_NON_DIRECTORY_FILE) != 0;
    if (wantDirectory && wantFile) {
        return FspComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (options & (FILE_OPEN_BY_FILE_ID | FILE_DELETE_ON_CLOSE)) {
        // Not emulated: say so rather than open something else.
        return FspComplete(Irp, STATUS_NOT_IMPLEMENTED, 0);
    }
    std::u16string name(fileObject->FileName.Buffer, fileObject->FileName.Length / sizeof(WCHAR));

    std::unique_lock<std::mutex> lock(volume->Lock);
    if (name.empty()) {
        // The volume itself: its reads and writes go straight to the volume.
        if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF) {
            return FspComplete(Irp, STATUS_ACCESS_DENIED, 0);
        }
        if (!FspShareAccessAllows(volume->VolumeStream, fileObject)) {
            return FspComplete(Irp, STATUS_SHARING_VIOLATION, 0);
        }
        FspUpdateShareAccess(volume->VolumeStream, fileObject, 1);
        fileObject->FsContext = volume->VolumeStream;
        fileObject->Flags |= FO_VOLUME_OPEN;
        lock.unlock();
        return FspComplete(Irp, STATUS_SUCCESS, FILE_OPENED);
    }
    if (!FspValidName(name)) {
        return FspComplete(Irp, STATUS_OBJECT_NAME_INVALID, 0);
    }
    auto parent = volume->Streams.find(FspUpcase(FspParentOf(name)));
    if (name.size() > 1 && (parent == volume->Streams.end() || !parent->second->IsDirectory)) {
        return FspComplete(Irp, STATUS_OBJECT_PATH_NOT_FOUND, 0);
    }
    auto found = volume->Streams.find(FspUpcase(name));
    FSP_STREAM* stream = found == volume->Streams.end() ? nullptr : found->second;
    ULONG_PTR information;
    bool emptied = false;
    if (stream != nullptr) {
        if (disposition == FILE_CREATE) {
            return FspComplete(Irp, STATUS_OBJECT_NAME_COLLISION, 0);
        }
        if (wantDirectory && !stream->IsDirectory) {
            return FspComplete(Irp, STATUS_NOT_A_DIRECTORY, 0);
        }
        if (wantFile && stream->IsDirectory) {
            return FspComplete(Irp, STATUS_FILE_IS_A_DIRECTORY, 0);
        }
        const bool replace = disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE ||
                             disposition == FILE_OVERWRITE_IF;
        if (replace && stream->IsDirectory) {
            return FspComplete(Irp, STATUS_FILE_IS_A_DIRECTORY, 0);
        }
        // Replacing a hidden or system file demands that the caller say so.
        const ULONG kept = stream->Attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        if (replace && (kept & ~attributes) != 0) {
            return FspComplete(Irp, STATUS_ACCESS_DENIED, 0);
        }
        if (!FspShareAccessAllows(stream, fileObject)) {
            return FspComplete(Irp, STATUS_SHARING_VIOLATION, 0);
        }
        information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                      : replace                     ? FILE_OVERWRITTEN
                                                    : FILE_OPENED;
        emptied = replace;
    } else {
        if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
            return FspComplete(Irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
        }
        stream = FspCreateStream(volume, name, wantDirectory);
        stream->Attributes = wantDirectory ? (attributes | FILE_ATTRIBUTE_DIRECTORY)
                                           : (attributes | FILE_ATTRIBUTE_ARCHIVE);
        volume->Streams.emplace(FspUpcase(name), stream);
        information = FILE_CREATED;
    }
    FspUpdateShareAccess(stream, fileObject, 1);
    lock.unlock();

    fileObject->FsContext = stream;
    NTSTATUS status = FspInitializeStreamPages(stream);
    if (NT_SUCCESS(status) && !stream->IsDirectory) {
        fileObject->SectionObjectPointer = &stream->SectionObjects;
    }
    if (NT_SUCCESS(status) && emptied) {
        status = FspTruncate(stream, attributes | FILE_ATTRIBUTE_ARCHIVE);
    }
    if (NT_SUCCESS(status) && information != FILE_OPENED) {
        status = FspWriteMetadata(stream, Irp->Tail.Overlay.Thread);
    }
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(volume->Lock);
        FspUpdateShareAccess(stream, fileObject, -1);
        fileObject->FsContext = nullptr;
        fileObject->SectionObjectPointer = nullptr;
        return FspComplete(Irp, status, 0);
    }
    return FspComplete(Irp, STATUS_SUCCESS, information);
}

NTSTATUS FspDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FSP_VOLUME* volume = FspVolumeOf(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    auto stream = static_cast<FSP_STREAM*>(fileObject->FsContext);
    if (stream != nullptr && !(fileObject->Flags & FO_STREAM_FILE)) {
        std::lock_guard<std::mutex> guard(volume->Lock);
        FspUpdateShareAccess(stream, fileObject, -1);
    }
    return FspComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS FspDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return FspComplete(Irp, STATUS_SUCCESS, 0);
}
