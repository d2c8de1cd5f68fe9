// win32/volume_names.cpp - GetVolumeNameForVolumeMountPointW: asks the
// mount manager which volume a drive letter leads to, and that volume's
// GUID name.
#include "fileapi.h"
#include "mountmgr.h"
#include "win32/ntcall.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD BasepErrorFilenameExcedRange = 206;
constexpr DWORD BasepErrorInvalidName = 123;

// A block of the process heap: user memory, as the buffers of a request
// from user mode must be.
class BasepUserBuffer {
  public:
    explicit BasepUserBuffer(size_t Bytes)
        : Data_(static_cast<PUCHAR>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, Bytes))),
          Size_(Data_ != nullptr ? Bytes : 0) {}
    ~BasepUserBuffer() {
        if (Data_ != nullptr) {
            HeapFree(GetProcessHeap(), 0, Data_);
        }
    }
    BasepUserBuffer(const BasepUserBuffer&) = delete;
    BasepUserBuffer& operator=(const BasepUserBuffer&) = delete;
    PUCHAR data() const { return Data_; }
    size_t size() const { return Size_; }

  private:
    PUCHAR Data_;
    size_t Size_;
};

// The mount points the query names (by link name or device name), or an
// error status.
NTSTATUS BasepQueryPoints(HANDLE Manager, const std::u16string& Link, const std::u16string& Device,
                          std::vector<std::u16string>* Links, std::u16string* DeviceName) {
    const std::u16string& name = Link.empty() ? Device : Link;
    BasepUserBuffer input(sizeof(MOUNTMGR_MOUNT_POINT) + name.size() * sizeof(WCHAR));
    if (input.data() == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MOUNTMGR_MOUNT_POINT query = {};
    const ULONG nameOffset = sizeof(MOUNTMGR_MOUNT_POINT);
    const auto nameLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    if (!Link.empty()) {
        query.SymbolicLinkNameOffset = nameOffset;
        query.SymbolicLinkNameLength = nameLength;
    } else {
        query.DeviceNameOffset = nameOffset;
        query.DeviceNameLength = nameLength;
    }
    std::memcpy(input.data(), &query, sizeof(query));
    std::memcpy(input.data() + nameOffset, name.data(), nameLength);

    // Asked once for the size, then with room for the whole answer.
    ULONG_PTR information = 0;
    MOUNTMGR_MOUNT_POINTS head = {};
    {
        BasepUserBuffer probe(sizeof(MOUNTMGR_MOUNT_POINTS));
        if (probe.data() == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        NTSTATUS status = BasepNtDeviceIoControl(
            Manager, IOCTL_MOUNTMGR_QUERY_POINTS, input.data(), static_cast<ULONG>(input.size()),
            probe.data(), static_cast<ULONG>(probe.size()), &information);
        if (status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status)) {
            return status;
        }
        std::memcpy(&head, probe.data(), sizeof(head));
    }
    BasepUserBuffer output(head.Size);
    if (output.data() == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = BasepNtDeviceIoControl(Manager, IOCTL_MOUNTMGR_QUERY_POINTS, input.data(),
                                             static_cast<ULONG>(input.size()), output.data(),
                                             static_cast<ULONG>(output.size()), &information);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::memcpy(&head, output.data(), sizeof(head));
    for (ULONG i = 0; i < head.NumberOfMountPoints; ++i) {
        MOUNTMGR_MOUNT_POINT point;
        std::memcpy(&point,
                    output.data() + FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) +
                        i * sizeof(MOUNTMGR_MOUNT_POINT),
                    sizeof(point));
        std::u16string text(point.SymbolicLinkNameLength / sizeof(WCHAR), u'\0');
        std::memcpy(text.data(), output.data() + point.SymbolicLinkNameOffset,
                    point.SymbolicLinkNameLength);
        Links->push_back(text);
        DeviceName->assign(point.DeviceNameLength / sizeof(WCHAR), u'\0');
        std::memcpy(DeviceName->data(), output.data() + point.DeviceNameOffset,
                    point.DeviceNameLength);
    }
    return STATUS_SUCCESS;
}

} // namespace

BOOL GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName,
                                       DWORD cchBufferLength) {
    const std::u16string mountPoint =
        lpszVolumeMountPoint != nullptr ? lpszVolumeMountPoint : u"";
    // "X:\" names a drive; "\\?\Volume{...}\" a volume by its GUID name.
    std::u16string link;
    if (mountPoint.size() == 3 && mountPoint[1] == u':' && mountPoint[2] == u'\\') {
        link = u"\\DosDevices\\" + mountPoint.substr(0, 2);
    } else if (mountPoint.rfind(u"\\\\?\\Volume{", 0) == 0 && mountPoint.back() == u'\\') {
        link = u"\\??\\" + mountPoint.substr(4, mountPoint.size() - 5);
    } else {
        SetLastError(BasepErrorInvalidName);
        return FALSE;
    }
    HANDLE manager = nullptr;
    ULONG_PTR opened = 0;
    NTSTATUS status = BasepNtOpen(u"\\??\\MountPointManager", SYNCHRONIZE, 0x3, 1 /* FILE_OPEN */,
                                  0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */, 0, &manager, &opened);
    std::vector<std::u16string> links;
    std::u16string device;
    if (NT_SUCCESS(status)) {
        status = BasepQueryPoints(manager, link, u"", &links, &device);
        if (NT_SUCCESS(status)) {
            links.clear();
            status = BasepQueryPoints(manager, u"", device, &links, &device);
        }
        BasepNtClose(manager);
    }
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    for (const std::u16string& name : links) {
        if (name.rfind(u"\\??\\Volume{", 0) != 0) {
            continue;
        }
        const std::u16string answer = u"\\\\?\\" + name.substr(4) + u"\\";
        if (cchBufferLength < answer.size() + 1) {
            SetLastError(BasepErrorFilenameExcedRange);
            return FALSE;
        }
        std::memcpy(lpszVolumeName, answer.c_str(), (answer.size() + 1) * sizeof(WCHAR));
        return TRUE;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}
