// backup.cpp - full and incremental backups, restore and verify.
#include "backup.h"
#include "fileapi.h"
#include "frozen_volume.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

bool IsVolumeName(const std::u16string& Name) {
    return (Name.size() == 2 && Name[1] == u':') || Name.rfind(u"\\\\?\\Volume{", 0) == 0;
}

void CheckCancel(const BackupHooks& Hooks) {
    if (Hooks.Cancel != nullptr && Hooks.Cancel->load()) {
        throw QvdError(QvdErrorKind::Cancelled, 0, "cancelled by the operator");
    }
}

void Report(const BackupHooks& Hooks, const char* Phase, uint64_t Done, uint64_t Total,
            uint32_t Status) {
    if (Hooks.Progress != nullptr) {
        Hooks.Progress(Hooks.Context, BackupProgress{Phase, Done, Total, Status});
    }
}

void Note(const BackupHooks& Hooks, const std::string& Text) {
    if (Hooks.Note != nullptr) {
        Hooks.Note(Hooks.Context, Text);
    }
}

// A frozen image that has run out of space, or broke, no longer equals the
// volume at its freeze: stop rather than write a wrong backup.
void CheckStatus(const BackupHooks& Hooks, uint32_t Status, bool* Warned) {
    if (Status & (QVD_STATUS_OUT_OF_SPACE | QVD_STATUS_BROKEN)) {
        throw QvdError(QvdErrorKind::Broken, Status,
                       "the driver reports " + QvdStatusText(Status) +
                           "; the frozen image can no longer be trusted, the backup stops");
    }
    if ((Status & QVD_STATUS_LOW_SPACE) && !*Warned) {
        *Warned = true;
        Note(Hooks, "the driver reports low space on the partial data file's volume");
    }
}

// The freeze of Volume with the partial data file and change store beside Output.
FreezeSettings FreezeFor(const BackupOptions& Options, const std::u16string& Volume,
                         const std::u16string& Output) {
    FreezeSettings settings = Options.Freeze;
    settings.Volume = Volume;
    if (settings.PartialDataFile.empty()) {
        settings.PartialDataFile = Output + u".partial";
    }
    settings.ChangeStore = ChangeStoreFor(Output);
    return settings;
}

// Copies the runs of marked blocks (every block when Marked is empty) of the
// frozen image to Output at OutputOffset on, reporting progress as the
// reads advance; returns the bytes read.
uint64_t CopyFrozen(FrozenVolume& Frozen, const std::vector<uint8_t>& Marked, AgentFile& Output,
                    uint64_t OutputOffset, const BackupOptions& Options, BackupReport* Report) {
    const uint64_t volumeBytes = Frozen.Bytes();
    const uint64_t blocks = BlocksOf(volumeBytes);
    const uint64_t chunkBlocks = Options.ChunkBytes / DELTA_BLOCK_SIZE;
    uint64_t total = 0;
    for (uint64_t b = 0; b < blocks; b++) {
        total += Marked.empty() || BitSet(Marked, b);
    }
    UserBuffer buffer(Options.ChunkBytes);
    bool warned = false;
    uint64_t copied = 0;
    for (uint64_t block = 0; block < blocks;) {
        CheckCancel(Options.Hooks);
        if (!Marked.empty() && !BitSet(Marked, block)) {
            block++;
            continue;
        }
        uint64_t run = 1;
        while (block + run < blocks && run < chunkBlocks &&
               (Marked.empty() || BitSet(Marked, block + run))) {
            run++;
        }
        const uint64_t offset = block * DELTA_BLOCK_SIZE;
        const uint64_t end = std::min<uint64_t>((block + run) * DELTA_BLOCK_SIZE, volumeBytes);
        const auto length = static_cast<uint32_t>(end - offset);
        Frozen.Read(offset, buffer.Data(), length);
        // Stored blocks are whole blocks: zero past the volume's end.
        const uint32_t stored = Marked.empty() ? length : uint32_t(run * DELTA_BLOCK_SIZE);
        std::memset(buffer.Data() + length, 0, stored - length);
        Output.WriteAt(OutputOffset, buffer.Data(), stored);
        OutputOffset += stored;
        Report->BytesRead += length;
        Report->BytesWritten += stored;
        copied += run;
        Report->Status = Frozen.ReportProgress(end);
        CheckStatus(Options.Hooks, Report->Status, &warned);
        ::Report(Options.Hooks, "reading", copied * DELTA_BLOCK_SIZE, total * DELTA_BLOCK_SIZE,
                 Report->Status);
        block += run;
    }
    Report->BlocksCopied = copied;
    return Report->BytesRead;
}

void Finish(FrozenVolume& Frozen, BackupReport* Report) {
    Frozen.Thaw();
    Report->PreservedBytes = Frozen.RemovePartialDataFile();
}

} // namespace

BackupReport RunFullBackup(const std::u16string& Volume, const std::u16string& Image,
                           const BackupOptions& Options) {
    BackupReport report;
    const FreezeSettings settings = FreezeFor(Options, Volume, Image);
    report.ChangeStore = settings.ChangeStore;
    QvdControl control;
    bool complete = false;
    AgentFile image(Image, GENERIC_WRITE, CREATE_ALWAYS);
    try {
        FrozenVolume frozen(control, settings);
        report.VolumeBytes = frozen.Bytes();
        if (Options.Hooks.Frozen != nullptr) {
            Options.Hooks.Frozen(Options.Hooks.Context);
        }
        CopyFrozen(frozen, {}, image, 0, Options, &report);
        Finish(frozen, &report);
        complete = true;
    } catch (...) {
        if (!complete) {
            // Half an image must not pass for a backup.
            DeleteFileW(Image.c_str());
        }
        throw;
    }
    return report;
}

BackupReport RunIncrementalBackup(const std::u16string& Volume, const std::u16string& Base,
                                  const std::u16string& Delta, const BackupOptions& Options) {
    BackupReport report;
    uint64_t baseBytes = 0;
    {
        AgentFile base(Base, GENERIC_READ, OPEN_EXISTING);
        baseBytes = InspectBackupFile(base).VolumeBytes;
    }
    const FreezeSettings settings = FreezeFor(Options, Volume, Delta);
    report.ChangeStore = settings.ChangeStore;
    QvdControl control;
    AgentFile delta(Delta, GENERIC_WRITE, CREATE_ALWAYS);
    try {
        FrozenVolume frozen(control, settings);
        report.VolumeBytes = frozen.Bytes();
        if (baseBytes != frozen.Bytes()) {
            throw QvdError(QvdErrorKind::Data, 0,
                           Narrow(Base) + " holds a volume of " + std::to_string(baseBytes) +
                               " bytes, the volume has " + std::to_string(frozen.Bytes()));
        }
        if (Options.Hooks.Frozen != nullptr) {
            Options.Hooks.Frozen(Options.Hooks.Context);
        }
        // Only the store that Base's backup asked for describes every block
        // written since Base; anything else and every block is copied.
        const uint64_t blocks = BlocksOf(frozen.Bytes());
        std::vector<uint8_t> marked((blocks + 7) / 8, 0);
        const std::u16string& previous = frozen.PreviousChangeStore();
        std::string fallback;
        if (previous.empty()) {
            fallback = "the driver kept no change store for this volume";
        } else if (!SamePath(previous, ChangeStoreFor(Base))) {
            fallback = "the driver's change store " + Narrow(previous) + " is not the one " +
                       Narrow(Base) + "'s backup asked for";
        } else if (frozen.PreviousStoreIncomplete()) {
            fallback = "the driver reports that its change store missed writes";
        } else {
            ChangeStoreFile store = ReadChangeStore(previous, frozen.Bytes());
            if (!store.Clean) {
                fallback = "the change store " + Narrow(previous) + " was not closed cleanly";
            } else {
                std::memcpy(marked.data(), store.Bitmap.data(), marked.size());
                // Bits past the volume's last block are no blocks at all.
                for (uint64_t b = blocks; b < marked.size() * 8; b++) {
                    marked[b / 8] &= uint8_t(~(1u << (b % 8)));
                }
            }
        }
        if (!fallback.empty()) {
            Note(Options.Hooks, fallback + ": refusing an incremental, copying every block");
            report.EveryBlock = true;
            std::fill(marked.begin(), marked.end(), 0xFF);
            for (uint64_t b = blocks; b < marked.size() * 8; b++) {
                marked[b / 8] &= uint8_t(~(1u << (b % 8)));
            }
        }
        uint64_t stored = 0;
        for (uint64_t b = 0; b < blocks; b++) {
            stored += BitSet(marked, b);
        }
        DeltaHeader header = {};
        std::memcpy(header.Magic, "QVDDELTA", 8);
        header.Version = DELTA_VERSION;
        header.BlockSize = DELTA_BLOCK_SIZE;
        header.VolumeBytes = frozen.Bytes();
        header.BlocksStored = stored;
        header.Flags = report.EveryBlock ? DELTA_EVERY_BLOCK : 0;
        delta.WriteAt(0, &header, sizeof(header));
        delta.WriteAt(sizeof(header), marked.data(), uint32_t(marked.size()));
        report.BytesWritten = sizeof(header) + marked.size();
        // An empty delta still reports the end: the driver may drop everything.
        if (stored == 0) {
            report.Status = frozen.ReportProgress(frozen.Bytes());
        }
        CopyFrozen(frozen, marked, delta, sizeof(header) + marked.size(), Options, &report);
        Finish(frozen, &report);
    } catch (...) {
        DeleteFileW(Delta.c_str());
        throw;
    }
    return report;
}

namespace {

// A restore or verify target: a volume written raw, or a file.
std::unique_ptr<AgentFile> OpenTarget(const std::u16string& Name, DWORD Access,
                                      DWORD FileDisposition, uint64_t* Bytes) {
    if (IsVolumeName(Name)) {
        auto volume = std::make_unique<AgentFile>(VolumeDevicePath(Name), Access, OPEN_EXISTING);
        *Bytes = QueryVolumeBytes(volume->Handle());
        return volume;
    }
    auto file = std::make_unique<AgentFile>(Name, Access, FileDisposition);
    *Bytes = file->Size();
    return file;
}

} // namespace

RestoreReport RunRestore(const std::u16string& Target, const std::vector<std::u16string>& Files,
                         const BackupHooks& Hooks) {
    if (Files.empty()) {
        throw QvdError(QvdErrorKind::Data, 0, "restore needs a full image");
    }
    RestoreReport report;
    uint64_t targetBytes = 0;
    std::unique_ptr<AgentFile> target =
        OpenTarget(Target, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, &targetBytes);
    const bool toVolume = IsVolumeName(Target);
    const uint32_t chunk = 1u << 20;
    UserBuffer buffer(chunk);
    uint64_t imageBytes = 0;
    for (size_t i = 0; i < Files.size(); i++) {
        AgentFile file(Files[i], GENERIC_READ, OPEN_EXISTING);
        const BackupFileInfo info = InspectBackupFile(file);
        if (i == 0 && info.IsDelta) {
            throw QvdError(QvdErrorKind::Data, 0,
                           Narrow(Files[0]) + " is a delta, not a full image");
        }
        if (i > 0 && !info.IsDelta) {
            throw QvdError(QvdErrorKind::Data, 0, Narrow(Files[i]) + " is not a delta file");
        }
        if (i == 0) {
            imageBytes = info.VolumeBytes;
            if (toVolume && targetBytes < imageBytes) {
                throw QvdError(QvdErrorKind::Data, 0,
                               "the target volume holds " + std::to_string(targetBytes) +
                                   " bytes, the image " + std::to_string(imageBytes));
            }
            for (uint64_t at = 0; at < imageBytes; at += chunk) {
                CheckCancel(Hooks);
                const auto length = uint32_t(std::min<uint64_t>(chunk, imageBytes - at));
                file.ReadAt(at, buffer.Data(), length);
                target->WriteAt(at, buffer.Data(), length);
                report.BytesWritten += length;
                Report(Hooks, "restoring", at + length, imageBytes, 0);
            }
        } else {
            if (info.VolumeBytes != imageBytes) {
                throw QvdError(QvdErrorKind::Data, 0,
                               Narrow(Files[i]) + " is a delta of another volume size");
            }
            const uint64_t blocks = BlocksOf(imageBytes);
            std::vector<uint8_t> marked((blocks + 7) / 8);
            file.ReadAt(sizeof(DeltaHeader), marked.data(), uint32_t(marked.size()));
            uint64_t from = sizeof(DeltaHeader) + marked.size();
            uint64_t applied = 0;
            for (uint64_t b = 0; b < blocks; b++) {
                if (!BitSet(marked, b)) {
                    continue;
                }
                CheckCancel(Hooks);
                const uint64_t at = b * DELTA_BLOCK_SIZE;
                const auto length = uint32_t(std::min<uint64_t>(DELTA_BLOCK_SIZE, imageBytes - at));
                file.ReadAt(from, buffer.Data(), DELTA_BLOCK_SIZE);
                target->WriteAt(at, buffer.Data(), length);
                from += DELTA_BLOCK_SIZE;
                report.BytesWritten += length;
                applied++;
                Report(Hooks, "restoring", applied, info.Header.BlocksStored, 0);
            }
            if (applied != info.Header.BlocksStored) {
                throw QvdError(QvdErrorKind::Data, 0,
                               Narrow(Files[i]) + ": its bitmap and its block count differ");
            }
        }
        report.FilesApplied++;
    }
    if (!FlushFileBuffers(target->Handle())) {
        ThrowLastError("flushing " + Narrow(Target));
    }
    return report;
}

VerifyReport RunVerify(const std::u16string& Image, const std::u16string& Against,
                       const BackupHooks& Hooks) {
    VerifyReport report;
    AgentFile image(Image, GENERIC_READ, OPEN_EXISTING);
    const BackupFileInfo info = InspectBackupFile(image);
    if (info.IsDelta) {
        throw QvdError(QvdErrorKind::Data, 0, Narrow(Image) + " is a delta; restore it first");
    }
    uint64_t otherBytes = 0;
    std::unique_ptr<AgentFile> other =
        OpenTarget(Against, GENERIC_READ, OPEN_EXISTING, &otherBytes);
    if (otherBytes < info.VolumeBytes ||
        (!IsVolumeName(Against) && otherBytes != info.VolumeBytes)) {
        throw QvdError(QvdErrorKind::Data, 0,
                       Narrow(Against) + " holds " + std::to_string(otherBytes) +
                           " bytes, the image " + std::to_string(info.VolumeBytes));
    }
    const uint32_t chunk = 1u << 20;
    UserBuffer mine(chunk);
    UserBuffer theirs(chunk);
    for (uint64_t at = 0; at < info.VolumeBytes; at += chunk) {
        CheckCancel(Hooks);
        const auto length = uint32_t(std::min<uint64_t>(chunk, info.VolumeBytes - at));
        image.ReadAt(at, mine.Data(), length);
        other->ReadAt(at, theirs.Data(), length);
        for (uint32_t block = 0; block < length; block += DELTA_BLOCK_SIZE) {
            const uint32_t bytes = std::min<uint32_t>(DELTA_BLOCK_SIZE, length - block);
            if (std::memcmp(mine.Data() + block, theirs.Data() + block, bytes) != 0) {
                if (report.BlocksDiffering++ == 0) {
                    uint32_t i = 0;
                    while (mine.Data()[block + i] == theirs.Data()[block + i]) {
                        i++;
                    }
                    report.FirstDifference = at + block + i;
                }
            }
        }
        report.BytesCompared += length;
        Report(Hooks, "verifying", at + length, info.VolumeBytes, 0);
    }
    return report;
}
