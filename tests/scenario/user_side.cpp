// user_side.cpp - the user-mode side of the scenarios: the install library,
// and a program that opens the control device and a volume and sends them
// device control.
#include "user_side.h"
#include "exports.h"
#include "fileapi.h"
#include "ioapiset.h"
#include "memoryapi.h"
#include "win32/ntcall.h"

#include <cstring>

namespace {

#define QVD_CODE(Function) ((0x8000u << 16) | ((ULONG)(Function) << 2))
#define DISK_GET_DRIVE_GEOMETRY 0x70000u

// The status of one buffered request; Output (in this thread's memory) gets the reply.
NTSTATUS Send(HANDLE Handle, ULONG Code, ULONG OutputLength, UCHAR* Output) {
    UCHAR input[64] = {};
    ULONG_PTR information = 0;
    return BasepNtDeviceIoControl(Handle, Code, input, sizeof(input), Output, OutputLength,
                                  &information);
}

} // namespace

ULONG AgentProgram(PVOID Context) {
    auto* view = static_cast<AgentView*>(Context);
    UCHAR output[64];
    HANDLE opens[2];
    for (HANDLE& open : opens) {
        open = CreateFileW(u"\\\\.\\QVDAPI", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        if (open == INVALID_HANDLE_VALUE) {
            return 1;
        }
    }
    view->Short = Send(opens[0], QVD_CODE(0x800), 3, output);
    DWORD returned = 0;
    view->ShortError =
        DeviceIoControl(opens[0], QVD_CODE(0x801), output, 16, output, 3, &returned, nullptr)
            ? ERROR_SUCCESS
            : GetLastError();
    view->Outside = Send(opens[1], 0x80002024u, 16, output);
    for (ULONG i = 0; i < 9; i++) {
        view->Answers[i] = Send(opens[i % 2], QVD_CODE(0x800 + i), 16, output);
    }
    HANDLE volume = CreateFileW(u"\\\\.\\C:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume != INVALID_HANDLE_VALUE) {
        std::memset(output, 0, sizeof(output));
        view->VolumeCode = Send(volume, DISK_GET_DRIVE_GEOMETRY, 24, output);
        std::memcpy(&view->BytesPerSector, output + 20, sizeof(ULONG));
        CloseHandle(volume);
    }
    for (int i = 0; i < 2; i++) {
        view->Closed[i] = CloseHandle(opens[i]) ? TRUE : FALSE;
    }
    return 0;
}

void FillRoundTripData(ULONG Offset, UCHAR* Buffer, ULONG Length) {
    for (ULONG i = 0; i < Length; i++) {
        const ULONG at = Offset + i;
        const unsigned long long word = 0x5156440000000000ull | (at / 8);
        Buffer[i] = UCHAR(word >> (8 * (at % 8)));
    }
}

ULONG FileRoundTripProgram(PVOID Context) {
    auto* trip = static_cast<FileRoundTrip*>(Context);
    const ULONG room = FILE_ROUND_TRIP_BYTES + 4096;
    auto* written = static_cast<UCHAR*>(VirtualAlloc(nullptr, room, MEM_COMMIT, PAGE_READWRITE));
    auto* read = static_cast<UCHAR*>(VirtualAlloc(nullptr, room, MEM_COMMIT, PAGE_READWRITE));
    if (written == nullptr || read == nullptr) {
        return 1;
    }
    FillRoundTripData(0, written, FILE_ROUND_TRIP_BYTES);
    HANDLE file = CreateFileW(FILE_ROUND_TRIP_NAME, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    trip->CreateError = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (file != INVALID_HANDLE_VALUE) {
        // Pieces that start and end inside sectors and clusters.
        static const ULONG pieces[] = {1, 511, 4097, 65536 + 3, 700, 131072 - 1, 9999};
        for (ULONG at = 0, i = 0; at < FILE_ROUND_TRIP_BYTES; i++) {
            ULONG length = pieces[i % (sizeof(pieces) / sizeof(pieces[0]))];
            length = length < FILE_ROUND_TRIP_BYTES - at ? length : FILE_ROUND_TRIP_BYTES - at;
            DWORD done = 0;
            if (!WriteFile(file, written + at, length, &done, nullptr) || done != length) {
                break;
            }
            at += length;
            trip->BytesWritten = at;
        }
        CloseHandle(file);
    }
    file = CreateFileW(FILE_ROUND_TRIP_NAME, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       0, nullptr);
    trip->ReopenError = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (file != INVALID_HANDLE_VALUE) {
        DWORD done = 0;
        if (ReadFile(file, read, room, &done, nullptr)) {
            trip->BytesRead = done;
            trip->Matches = done == FILE_ROUND_TRIP_BYTES &&
                            std::memcmp(read, written, FILE_ROUND_TRIP_BYTES) == 0;
        }
        CloseHandle(file);
    }
    VirtualFree(written, 0, MEM_RELEASE);
    VirtualFree(read, 0, MEM_RELEASE);
    return 0;
}

ULONG ReadWholeFileProgram(PVOID Context) {
    auto* contents = static_cast<FileContents*>(Context);
    auto* buffer =
        static_cast<UCHAR*>(VirtualAlloc(nullptr, contents->Capacity, MEM_COMMIT, PAGE_READWRITE));
    if (buffer == nullptr) {
        return 1;
    }
    HANDLE file = CreateFileW(contents->Name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    contents->OpenError = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (file != INVALID_HANDLE_VALUE) {
        DWORD done = 0;
        if (ReadFile(file, buffer, contents->Capacity, &done, nullptr)) {
            contents->Bytes = done;
            std::memcpy(contents->Data, buffer, done);
        }
        CloseHandle(file);
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    return 0;
}

int InstallForProduct(ULONG Product) {
    return QVDInstall(Product);
}

int UninstallForProduct(ULONG Product) {
    return QVDUninstall(Product);
}
