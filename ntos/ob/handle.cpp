// ob/handle.cpp - per-process handle tables and the routines on handles.
//
// A handle is a 32-bit value, a multiple of 4, never 0: (index + 1) * 4 in its
// process's table. Kernel handles (OBJ_KERNEL_HANDLE) live in the System
// process's table and carry bit 31; they work from any process in kernel mode
// and from none in user mode. Other handles belong to the process that was
// current (the attached one while attached) when they were created.
#include "ntos/ob/obheader.h"
#include "ntos/ps/psp.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

#include <cstdio>
#include <vector>

namespace {

constexpr ULONG_PTR ObpKernelHandleBit = 0x80000000u;

struct OBP_HANDLE_ENTRY {
    PVOID Object;               // referenced; NULL for a free slot
    ACCESS_MASK GrantedAccess;
    ULONG Attributes;
};

} // namespace

struct OBP_HANDLE_TABLE {
    std::mutex Lock;                         // guards the two below
    std::vector<OBP_HANDLE_ENTRY> Entries;   // by index
    std::vector<ULONG> FreeIndexes;          // free slots of Entries
    PEPROCESS Process;                       // the owner; set at creation
};

namespace {

ULONG_PTR ObpHandleValue(ULONG Index, bool Kernel) {
    return (static_cast<ULONG_PTR>(Index) + 1) * 4 | (Kernel ? ObpKernelHandleBit : 0);
}

// Which table and slot Handle names for AccessMode; false for a malformed handle.
bool ObpDecodeHandle(HANDLE Handle, KPROCESSOR_MODE AccessMode, OBP_HANDLE_TABLE** Table,
                     ULONG* Index, bool* Kernel) {
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(Handle);
    if (value == 0 || value > 0xFFFFFFFFu || (value & 3) != 0) {
        return false;
    }
    PEPROCESS process;
    *Kernel = (value & ObpKernelHandleBit) != 0;
    if (*Kernel) {
        if (AccessMode != KernelMode) {
            return false;
        }
        process = PsInitialSystemProcess;
        value &= ~ObpKernelHandleBit;
    } else {
        process = PsGetCurrentProcess();
    }
    if (process->ObjectTable == nullptr) {
        return false;
    }
    *Table = process->ObjectTable;
    *Index = static_cast<ULONG>(value / 4 - 1);
    return true;
}

// The live entry at Index of Table that Handle may name; the caller holds the
// table's lock. A kernel handle and a System-process handle never alias.
OBP_HANDLE_ENTRY* ObpFindEntry(OBP_HANDLE_TABLE* Table, ULONG Index, bool Kernel);

// Removes the entry Handle names; false when there is none.
bool ObpRemoveHandle(HANDLE Handle, KPROCESSOR_MODE AccessMode, OBP_HANDLE_ENTRY* Entry,
                     PEPROCESS* Process) {
    OBP_HANDLE_TABLE* table;
    ULONG index;
    bool kernel;
    if (!ObpDecodeHandle(Handle, AccessMode, &table, &index, &kernel)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(table->Lock);
    if (ObpFindEntry(table, index, kernel) == nullptr) {
        return false;
    }
    *Entry = table->Entries[index];
    *Process = table->Process;
    table->Entries[index] = OBP_HANDLE_ENTRY{};
    table->FreeIndexes.push_back(index);
    return true;
}

void ObpCloseEntry(PEPROCESS Process, const OBP_HANDLE_ENTRY& Entry) {
    OBP_OBJECT_HEADER* header = ObpHeader(Entry.Object);
    LONG_PTR before = header->HandleCount.load(std::memory_order_acquire);
    if (header->Type->Procedures.Close != nullptr) {
        header->Type->Procedures.Close(Process, Entry.Object, static_cast<ULONG>(before));
    }
    header->HandleCount.fetch_sub(1, std::memory_order_acq_rel);
    ObfDereferenceObject(Entry.Object);
}

void ObpNarrow(PCWSTR Wide, char* Narrow, size_t Size) {
    size_t i = 0;
    for (; Wide != nullptr && Wide[i] != 0 && i + 1 < Size; ++i) {
        Narrow[i] = Wide[i] < 0x80 ? static_cast<char>(Wide[i]) : '?';
    }
    Narrow[i] = 0;
}

OBP_HANDLE_ENTRY* ObpFindEntry(OBP_HANDLE_TABLE* Table, ULONG Index, bool Kernel) {
    if (Index >= Table->Entries.size() || Table->Entries[Index].Object == nullptr) {
        return nullptr;
    }
    OBP_HANDLE_ENTRY* entry = &Table->Entries[Index];
    return ((entry->Attributes & OBJ_KERNEL_HANDLE) != 0) == Kernel ? entry : nullptr;
}

} // namespace

OBP_HANDLE_TABLE* ObpCreateHandleTable(PEPROCESS Process) {
    auto* table = new OBP_HANDLE_TABLE;
    table->Process = Process;
    return table;
}

void ObpDestroyHandleTable(OBP_HANDLE_TABLE* Table) {
    std::vector<OBP_HANDLE_ENTRY> entries;
    {
        std::lock_guard<std::mutex> guard(Table->Lock);
        entries.swap(Table->Entries);
    }
    for (const OBP_HANDLE_ENTRY& entry : entries) {
        if (entry.Object != nullptr) {
            ObpCloseEntry(Table->Process, entry);
        }
    }
    delete Table;
}

ULONG ObpCountHandles(OBP_HANDLE_TABLE* Table) {
    std::lock_guard<std::mutex> guard(Table->Lock);
    ULONG count = 0;
    for (const OBP_HANDLE_ENTRY& entry : Table->Entries) {
        count += entry.Object != nullptr;
    }
    return count;
}

void ObpVerifyNoHandles(OBP_HANDLE_TABLE* Table, PCWSTR ProcessName) {
    std::lock_guard<std::mutex> guard(Table->Lock);
    for (ULONG index = 0; index < Table->Entries.size(); ++index) {
        const OBP_HANDLE_ENTRY& entry = Table->Entries[index];
        if (entry.Object == nullptr) {
            continue;
        }
        bool kernel = (entry.Attributes & OBJ_KERNEL_HANDLE) != 0;
        char process[64];
        char type[64];
        ObpNarrow(ProcessName, process, sizeof(process));
        ObpNarrow(ObpHeader(entry.Object)->Type->Name.c_str(), type, sizeof(type));
        static char rule[256];
        std::snprintf(rule, sizeof(rule), "leaked handle 0x%lx to a %s object in process %s",
                      static_cast<unsigned long>(ObpHandleValue(index, kernel)), type, process);
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, rule, nullptr,
                   ObpHandleValue(index, kernel), reinterpret_cast<ULONG_PTR>(entry.Object));
    }
}

NTSTATUS ObpCreateHandle(PVOID Object, ACCESS_MASK GrantedAccess, ULONG Attributes,
                         KPROCESSOR_MODE AccessMode, PHANDLE Handle) {
    KiCurrentThread(VF_CALLER());
    const bool kernel = (Attributes & OBJ_KERNEL_HANDLE) != 0 && AccessMode == KernelMode;
    PEPROCESS process = kernel ? PsInitialSystemProcess : PsGetCurrentProcess();
    OBP_HANDLE_TABLE* table = process->ObjectTable;
    if (table == nullptr) {
        return STATUS_PROCESS_IS_TERMINATING;
    }
    OBP_OBJECT_HEADER* header = ObpHeader(Object);
    ObfReferenceObject(Object);
    header->HandleCount.fetch_add(1, std::memory_order_acq_rel);
    OBP_HANDLE_ENTRY entry{Object, ObpMapGenericAccess(header->Type, GrantedAccess),
                           kernel ? ULONG{OBJ_KERNEL_HANDLE} : 0};
    ULONG index;
    {
        std::lock_guard<std::mutex> guard(table->Lock);
        if (!table->FreeIndexes.empty()) {
            index = table->FreeIndexes.back();
            table->FreeIndexes.pop_back();
            table->Entries[index] = entry;
        } else {
            index = static_cast<ULONG>(table->Entries.size());
            table->Entries.push_back(entry);
        }
    }
    *Handle = reinterpret_cast<HANDLE>(ObpHandleValue(index, kernel));
    return STATUS_SUCCESS;
}

NTSTATUS ObpCloseHandle(HANDLE Handle, KPROCESSOR_MODE AccessMode) {
    KiCurrentThread(VF_CALLER());
    OBP_HANDLE_ENTRY entry;
    PEPROCESS process;
    if (!ObpRemoveHandle(Handle, AccessMode, &entry, &process)) {
        if (AccessMode == KernelMode) {
            VfBugCheck(INVALID_KERNEL_HANDLE, "invalid handle closed from kernel mode",
                       VF_CALLER(), reinterpret_cast<ULONG_PTR>(Handle));
        }
        return STATUS_INVALID_HANDLE;
    }
    ObpCloseEntry(process, entry);
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose", VF_CALLER());
    KiCurrentThread(VF_CALLER());
    OBP_HANDLE_ENTRY entry;
    PEPROCESS process;
    if (!ObpRemoveHandle(Handle, KernelMode, &entry, &process)) {
        VfBugCheck(INVALID_KERNEL_HANDLE, "invalid handle closed from kernel mode", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(Handle));
    }
    ObpCloseEntry(process, entry);
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle", VF_CALLER());
    PKTHREAD current = KiCurrentThread(VF_CALLER());
    PVOID object = nullptr;
    ACCESS_MASK granted = 0;
    ULONG attributes = 0;
    if (Handle == NtCurrentProcess() || Handle == NtCurrentThread()) {
        object = Handle == NtCurrentProcess() ? static_cast<PVOID>(current->ApcStateProcess)
                                              : static_cast<PVOID>(current);
        granted = Handle == NtCurrentProcess() ? ACCESS_MASK{PROCESS_ALL_ACCESS}
                                               : ACCESS_MASK{THREAD_ALL_ACCESS};
        ObfReferenceObject(object);
    } else {
        OBP_HANDLE_TABLE* table;
        ULONG index;
        bool kernel;
        if (!ObpDecodeHandle(Handle, AccessMode, &table, &index, &kernel)) {
            return STATUS_INVALID_HANDLE;
        }
        std::lock_guard<std::mutex> guard(table->Lock);
        if (ObpFindEntry(table, index, kernel) == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        object = table->Entries[index].Object;
        granted = table->Entries[index].GrantedAccess;
        attributes = table->Entries[index].Attributes;
        ObfReferenceObject(object);
    }
    if (ObjectType != nullptr && ObpHeader(object)->Type != ObjectType) {
        ObfDereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // Handles hold specific rights only; generic rights asked for here mean
    // what they mean to the object's type.
    const ACCESS_MASK desired =
        ObpMapGenericAccess(ObpHeader(object)->Type, DesiredAccess & ~ACCESS_MASK{MAXIMUM_ALLOWED});
    if (AccessMode != KernelMode && (desired & ~granted) != 0) {
        ObfDereferenceObject(object);
        return STATUS_ACCESS_DENIED;
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = attributes;
        HandleInformation->GrantedAccess = granted;
    }
    *Object = object;
    return STATUS_SUCCESS;
}
