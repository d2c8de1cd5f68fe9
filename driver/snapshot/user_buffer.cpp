// user_buffer.cpp - copying the strings the agent's records point to into
// kernel memory, once, in the agent's own thread.
//
// Kernel mode, PASSIVE_LEVEL, in the thread of the process that sent the
// request (its 32-bit user addresses mean nothing in any other). A bad
// address ends in a clean status, never in a fault under a lock.
#include "snapshot/snapshot.h"
#include "support/pool_tags.h"

#include <cstring>

NTSTATUS CaptureUserString(ULONG32 UserAddress, ULONG MaxChars, PWSTR* String) {
    *String = NULL;
    ULONG chars = 0;
    NTSTATUS status = STATUS_SUCCESS;
    _SEH2_TRY {
        // Find the terminator, probing each character before it is read.
        for (;;) {
            const WCHAR* at = (const WCHAR*)MmGetUserBuffer(UserAddress + chars * sizeof(WCHAR),
                                                          sizeof(WCHAR), 1, FALSE);
            WCHAR c;
            memcpy(&c, at, sizeof(c));
            if (c == 0) {
                break;
            }
            if (++chars > MaxChars) {
                status = STATUS_NAME_TOO_LONG;
                _SEH2_LEAVE;
            }
        }
        SIZE_T bytes = (SIZE_T)chars * sizeof(WCHAR);
        PWSTR copy = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR),
                                                  QVD_TAG_VOLUME_NAME);
        if (copy == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            _SEH2_LEAVE;
        }
        *String = copy;
        // One copy of what was measured: a string the agent changes meanwhile
        // is cut at the measured length.
        memcpy(copy, MmGetUserBuffer(UserAddress, bytes, 1, FALSE), bytes);
        copy[chars] = 0;
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
        if (*String != NULL) {
            ExFreePool(*String);
            *String = NULL;
        }
    }
    _SEH2_END;
    return status;
}
