// cm/cmdata.h - records of the registry store, private to ntos/cm.
#pragma once

#include "ntos/cm/cmp.h"
#include "nt/debug.h"
#include "ntos/verifier/owned_mutex.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A name folded for comparison: ASCII letters upper-cased, everything else kept.
std::u16string CmpFoldName(std::u16string_view Name);

struct CM_VALUE {
    std::u16string Name;        // as created; fixed after creation
    ULONG Type;                 // REG_*
    std::vector<UCHAR> Data;    // bytes as written
};

struct _CM_KEY {
    PCM_REGISTRY Registry;      // fixed
    // All fields below are guarded by Registry->Lock.
    ULONG References;           // holders: the tree (while not deleted) + callers
    bool Deleted;               // left the tree; only references keep it alive
    PCM_KEY Parent;             // null for \REGISTRY and for deleted keys
    std::u16string Name;        // as created
    std::map<std::u16string, PCM_KEY> SubKeys; // by folded name; each holds a reference
    std::vector<CM_VALUE> Values;              // in creation order
};

struct CM_INJECTED_FAILURE {
    CM_OPERATION Operation;
    std::u16string KeyPath;     // folded, below \REGISTRY
    bool AnyValue;
    std::u16string ValueName;   // folded; ignored when AnyValue
    NTSTATUS Status;
    ULONG Skip;                 // matching calls still let through
};

struct _CM_REGISTRY {
    VfOwnedMutex Lock;
    PCM_KEY Root;               // \REGISTRY; guarded by Lock
    ULONG OutstandingReferences; // caller references (not the tree's); guarded by Lock
    std::vector<CM_INJECTED_FAILURE> Failures; // guarded by Lock
};

// Helpers for the cm component; the caller holds Registry->Lock.
std::u16string CmpKeyPathLocked(PCM_KEY Key);
NTSTATUS CmpCheckInjectedLocked(PCM_REGISTRY Registry, CM_OPERATION Operation,
                                std::u16string_view KeyPath, PCWSTR ValueName);
void CmpReleaseLocked(PCM_KEY Key);
