// qvd_control.cpp - the nine control codes as typed calls.
#include "qvd_control.h"
#include "fileapi.h"
#include "ioapiset.h"

#include <cstring>
#include <memory>

QvdControl::QvdControl() : record_(sizeof(QvdFreezeRequest)) {
    device_ = CreateFileW(QVD_CONTROL_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    if (device_ == INVALID_HANDLE_VALUE) {
        ThrowLastError("opening \\\\.\\QVDAPI (is the snapshot driver loaded?)");
    }
}

QvdControl::~QvdControl() {
    CloseHandle(device_);
}

void QvdControl::Send(const char* Operation, DWORD Code, DWORD Bytes) {
    DWORD returned = 0;
    if (!DeviceIoControl(device_, Code, record_.Data(), Bytes, record_.Data(), Bytes, &returned,
                         nullptr)) {
        ThrowLastError(Operation);
    }
}

QvdVersionInfo QvdControl::QueryVersion() {
    std::memset(record_.Data(), 0, sizeof(QvdVersionInfo));
    Send("QueryVersion", IOCTL_QVD_QUERY_VERSION, sizeof(QvdVersionInfo));
    CheckResult("QueryVersion", RecordAs<QvdVersionInfo>()->Result);
    return *RecordAs<QvdVersionInfo>();
}

QvdFreezeRequest QvdControl::FreezeVolume(const FreezeSettings& Settings, HANDLE Mutex) {
    // The strings live until the request is answered; the driver reads them once.
    UserString volume(Settings.Volume);
    UserString partial(Settings.PartialDataFile);
    std::unique_ptr<UserString> changes;
    if (!Settings.ChangeStore.empty()) {
        changes = std::make_unique<UserString>(Settings.ChangeStore);
    }
    auto* request = RecordAs<QvdFreezeRequest>();
    std::memset(request, 0, sizeof(*request));
    request->VolumeName = volume.Address();
    request->PartialDataFilePath = partial.Address();
    request->ChangeStorePath = changes ? changes->Address() : 0;
    request->SnapshotMutex = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Mutex));
    request->FreezeFlags = Settings.Flags;
    request->MaxQuiesceMs = Settings.MaxQuiesceMs;
    request->QuietPeriodMs = Settings.QuietPeriodMs;
    request->WarnFreeKB = Settings.WarnFreeKB;
    request->MinFreeKB = Settings.MinFreeKB;
    Send("FreezeVolume", IOCTL_QVD_FREEZE_VOLUME, sizeof(QvdFreezeRequest));
    return *request;
}

void QvdControl::ThawVolume(uint32_t VolumeHandle) {
    auto* request = RecordAs<QvdVolumeRequest>();
    *request = QvdVolumeRequest{0, VolumeHandle};
    Send("ThawVolume", IOCTL_QVD_THAW_VOLUME, sizeof(QvdVolumeRequest));
    CheckResult("ThawVolume", request->Result);
}

uint32_t QvdControl::ReportProgress(uint32_t VolumeHandle, uint64_t Position) {
    auto* request = RecordAs<QvdProgressRequest>();
    *request = QvdProgressRequest{0, VolumeHandle, 0, 0, Position};
    Send("ReportProgress", IOCTL_QVD_REPORT_PROGRESS, sizeof(QvdProgressRequest));
    CheckResult("ReportProgress", request->Result);
    return request->Status;
}

void QvdControl::AddPassThroughFile(HANDLE File) {
    auto* request = RecordAs<QvdPassThroughFileRequest>();
    *request =
        QvdPassThroughFileRequest{0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(File))};
    Send("AddPassThroughFile", IOCTL_QVD_ADD_PASS_THROUGH_FILE, sizeof(*request));
    CheckResult("AddPassThroughFile", request->Result);
}

void QvdControl::RemovePassThroughFile(HANDLE File) {
    auto* request = RecordAs<QvdPassThroughFileRequest>();
    *request =
        QvdPassThroughFileRequest{0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(File))};
    Send("RemovePassThroughFile", IOCTL_QVD_REMOVE_PASS_THROUGH_FILE, sizeof(*request));
    CheckResult("RemovePassThroughFile", request->Result);
}

void QvdControl::ClearPassThroughFiles() {
    RecordAs<QvdResultRecord>()->Result = 0;
    Send("ClearPassThroughFiles", IOCTL_QVD_CLEAR_PASS_THROUGH_FILES, sizeof(QvdResultRecord));
    CheckResult("ClearPassThroughFiles", RecordAs<QvdResultRecord>()->Result);
}

void QvdControl::EnableExtentList(uint32_t VolumeHandle) {
    auto* request = RecordAs<QvdVolumeRequest>();
    *request = QvdVolumeRequest{0, VolumeHandle};
    Send("EnableExtentList", IOCTL_QVD_ENABLE_EXTENT_LIST, sizeof(QvdVolumeRequest));
    CheckResult("EnableExtentList", request->Result);
}

std::vector<QvdPreservedExtent> QvdControl::ReadExtentList(uint32_t VolumeHandle,
                                                           uint32_t BatchEntries) {
    UserBuffer array(size_t(BatchEntries) * sizeof(QvdPreservedExtent));
    std::vector<QvdPreservedExtent> extents;
    uint32_t cursor = 0;
    for (;;) {
        auto* request = RecordAs<QvdExtentListRequest>();
        *request = QvdExtentListRequest{0, VolumeHandle,           cursor,
                                        0, uint32_t(array.Size()), array.Address()};
        Send("ReadExtentList", IOCTL_QVD_READ_EXTENT_LIST, sizeof(QvdExtentListRequest));
        CheckResult("ReadExtentList", request->Result);
        const auto* entries = reinterpret_cast<const QvdPreservedExtent*>(array.Data());
        extents.insert(extents.end(), entries, entries + request->Count);
        cursor = request->Cursor;
        if (request->Count < BatchEntries) {
            return extents;
        }
    }
}
