// win32/virtual_memory.cpp - VirtualAlloc and VirtualFree.
#include "memoryapi.h"
#include "win32/ntcall.h"

LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
    PVOID base = lpAddress;
    SIZE_T size = dwSize;
    NTSTATUS status = BasepNtAllocateVirtualMemory(&base, &size, flAllocationType, flProtect);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return nullptr;
    }
    return base;
}

BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    PVOID base = lpAddress;
    SIZE_T size = dwSize;
    NTSTATUS status = BasepNtFreeVirtualMemory(&base, &size, dwFreeType);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}
