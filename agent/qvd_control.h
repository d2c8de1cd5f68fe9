// qvd_control.h - typed wrappers of the snapshot driver's nine control
// codes, on a handle of \\.\QVDAPI. Every wrapper sends its record from the
// agent's own memory, reads the record's Result and throws a QvdError when
// the request or the operation failed; the records are those of qvdapi.h.
#pragma once

#include "qvd_error.h"
#include "snapshot/qvdapi.h"
#include "user_buffer.h"

#include <string>
#include <vector>

// What FreezeVolume needs besides the mutex.
struct FreezeSettings {
    std::u16string Volume;          // "C:" or "\\?\Volume{...}\"
    std::u16string PartialDataFile; // "X:\..."
    std::u16string ChangeStore;     // "X:\...", or empty for none
    uint32_t Flags = 0;             // QVD_FREEZE_STAY_BROKEN, QVD_FREEZE_REPLACE_FREEZE
    uint64_t MaxQuiesceMs = 10000;
    uint64_t QuietPeriodMs = 300;
    uint64_t WarnFreeKB = 4096;
    uint64_t MinFreeKB = 1024;
};

class QvdControl {
  public:
    QvdControl(); // opens \\.\QVDAPI; throws
    ~QvdControl();
    QvdControl(const QvdControl&) = delete;
    QvdControl& operator=(const QvdControl&) = delete;

    QvdVersionInfo QueryVersion();
    // The whole answer; Result is not checked here, so that a caller can tell
    // "already frozen" from "did not quiesce". Mutex: a mutex the calling
    // thread owns.
    QvdFreezeRequest FreezeVolume(const FreezeSettings& Settings, HANDLE Mutex);
    void ThawVolume(uint32_t VolumeHandle);
    // The Status bits (QVD_STATUS_*).
    uint32_t ReportProgress(uint32_t VolumeHandle, uint64_t Position);
    void AddPassThroughFile(HANDLE File);
    void RemovePassThroughFile(HANDLE File);
    void ClearPassThroughFiles();
    void EnableExtentList(uint32_t VolumeHandle);
    // The whole list, read with the cursor in batches of BatchEntries until a
    // batch comes back short.
    std::vector<QvdPreservedExtent> ReadExtentList(uint32_t VolumeHandle,
                                                   uint32_t BatchEntries = 64);

  private:
    // Sends Bytes of record_ (in and out); throws on a failed request.
    void Send(const char* Operation, DWORD Code, DWORD Bytes);
    template <typename Record> Record* RecordAs() {
        return reinterpret_cast<Record*>(record_.Data());
    }

    HANDLE device_;
    UserBuffer record_;
};
