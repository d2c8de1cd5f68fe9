// agent_programs.cpp - user-side pieces of the agent's tests.
#include "agent_programs.h"
#include "fileapi.h"
#include "frozen_volume.h"
#include "memoryapi.h"
#include "synchapi.h"

ULONG DyingAgentProgram(PVOID Context) {
    auto* agent = static_cast<DyingAgent*>(Context);
    EnableBackupPrivilege();
    QvdControl control;
    FreezeSettings settings;
    settings.Volume = agent->Volume;
    settings.PartialDataFile = u"X:\\dying.partial";
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    agent->Result = control.FreezeVolume(settings, mutex).Result;
    return 0; // the thread ends owning the mutex: it is abandoned
}

BOOLEAN WriteDirect(const char16_t* Path) {
    HANDLE file = CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_FLAG_NO_BUFFERING, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    void* data = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    DWORD done = 0;
    const BOOL written = WriteFile(file, data, 4096, &done, nullptr) && done == 4096;
    VirtualFree(data, 0, MEM_RELEASE);
    CloseHandle(file);
    return written ? TRUE : FALSE;
}
