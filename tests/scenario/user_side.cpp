// user_side.cpp - the user-mode side of the scenarios: the install library,
// and a program that opens the control device and a volume and sends them
// device control.
#include "user_side.h"
#include "exports.h"
#include "fileapi.h"
#include "ioapiset.h"
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
    view->ShortError = DeviceIoControl(opens[0], QVD_CODE(0x801), output, 16, output, 3,
                                       &returned, nullptr)
                           ? ERROR_SUCCESS
                           : GetLastError();
    view->Outside = Send(opens[1], 0x80002024u, 16, output);
    for (ULONG i = 0; i < 9; i++) {
        view->Unbuilt[i] = Send(opens[i % 2], QVD_CODE(0x800 + i), 16, output);
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

int InstallForProduct(ULONG Product) {
    return QVDInstall(Product);
}
