// cm/key.cpp - opening, creating, enumerating and deleting registry keys.
#include "ntos/cm/cmdata.h"
#include "bugcodes.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>

namespace {

// Splits a backslash-separated path; an empty component makes the path invalid.
bool CmpSplitPath(PCWSTR Path, std::vector<std::u16string_view>& Parts) {
    std::u16string_view rest(Path == nullptr ? u"" : Path);
    while (!rest.empty()) {
        size_t slash = rest.find(u'\\');
        std::u16string_view part = rest.substr(0, slash);
        if (part.empty()) {
            return false;
        }
        Parts.push_back(part);
        if (slash == std::u16string_view::npos) {
            break;
        }
        rest.remove_prefix(slash + 1);
        if (rest.empty()) {
            return false;
        }
    }
    return true;
}

std::u16string CmpJoin(std::u16string Base, const std::vector<std::u16string_view>& Parts) {
    for (auto part : Parts) {
        if (!Base.empty()) {
            Base += u'\\';
        }
        Base += part;
    }
    return Base;
}

void CmpCheckReference(PCM_KEY Key, const void* Caller) {
    if (Key == nullptr || Key->References == 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "registry key used without a reference",
                   Caller, reinterpret_cast<ULONG_PTR>(Key));
    }
}

// Walks (and with Create, builds) Path below Parent; the caller holds the lock.
NTSTATUS CmpLookupLocked(PCM_REGISTRY Registry, PCM_KEY Parent, PCWSTR Path, bool Create,
                         PCM_KEY* Key, BOOLEAN* Created, const void* Caller) {
    ASSERT(Registry->Lock.HeldByCurrentThread());
    PCM_KEY start = Parent == nullptr ? Registry->Root : Parent;
    if (Parent != nullptr) {
        CmpCheckReference(Parent, Caller);
        if (Parent->Registry != Registry) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "registry key used with another machine's registry", Caller);
        }
    }
    if (start->Deleted) {
        return STATUS_KEY_DELETED;
    }
    std::vector<std::u16string_view> parts;
    if (!CmpSplitPath(Path, parts)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    NTSTATUS injected =
        CmpCheckInjectedLocked(Registry, Create ? CmOperationCreateKey : CmOperationOpenKey,
                               CmpJoin(CmpKeyPathLocked(start), parts), nullptr);
    if (injected != STATUS_SUCCESS) {
        return injected;
    }
    PCM_KEY key = start;
    bool created = false;
    for (auto part : parts) {
        auto it = key->SubKeys.find(CmpFoldName(part));
        if (it != key->SubKeys.end()) {
            key = it->second;
            continue;
        }
        if (!Create) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        auto* child = new CM_KEY{Registry, 1, false, key, std::u16string(part), {}, {}};
        key->SubKeys.emplace(CmpFoldName(part), child);
        key = child;
        created = true;
    }
    ++key->References;
    ++Registry->OutstandingReferences;
    *Key = key;
    if (Created != nullptr) {
        *Created = created ? TRUE : FALSE;
    }
    return STATUS_SUCCESS;
}

// Takes Key out of the tree with everything below it; the caller holds the lock.
void CmpDetachTreeLocked(PCM_KEY Key) {
    ASSERT(Key->Registry->Lock.HeldByCurrentThread());
    while (!Key->SubKeys.empty()) {
        CmpDetachTreeLocked(Key->SubKeys.begin()->second);
    }
    Key->Parent->SubKeys.erase(CmpFoldName(Key->Name));
    Key->Parent = nullptr;
    Key->Deleted = true;
    CmpReleaseLocked(Key);
}

NTSTATUS CmpDeleteCommon(PCM_KEY Key, bool Tree, const void* Caller) {
    std::lock_guard guard(Key->Registry->Lock);
    CmpCheckReference(Key, Caller);
    if (Key->Deleted) {
        return STATUS_KEY_DELETED;
    }
    if (Key->Parent == nullptr || Key->Parent->Parent == nullptr) {
        return STATUS_ACCESS_DENIED;
    }
    NTSTATUS injected = CmpCheckInjectedLocked(Key->Registry, CmOperationDeleteKey,
                                               CmpKeyPathLocked(Key), nullptr);
    if (injected != STATUS_SUCCESS) {
        return injected;
    }
    if (!Tree && !Key->SubKeys.empty()) {
        return STATUS_CANNOT_DELETE;
    }
    CmpDetachTreeLocked(Key);
    return STATUS_SUCCESS;
}

} // namespace

void CmpReleaseLocked(PCM_KEY Key) {
    ASSERT(Key->Registry->Lock.HeldByCurrentThread());
    if (--Key->References == 0) {
        delete Key;
    }
}

NTSTATUS CmpOpenKey(PCM_REGISTRY Registry, PCM_KEY Parent, PCWSTR Path, PCM_KEY* Key) {
    std::lock_guard guard(Registry->Lock);
    return CmpLookupLocked(Registry, Parent, Path, false, Key, nullptr, VF_CALLER());
}

NTSTATUS CmpCreateKey(PCM_REGISTRY Registry, PCM_KEY Parent, PCWSTR Path, PCM_KEY* Key,
                      BOOLEAN* Created) {
    std::lock_guard guard(Registry->Lock);
    return CmpLookupLocked(Registry, Parent, Path, true, Key, Created, VF_CALLER());
}

void CmpReferenceKey(PCM_KEY Key) {
    std::lock_guard guard(Key->Registry->Lock);
    CmpCheckReference(Key, VF_CALLER());
    ++Key->References;
    ++Key->Registry->OutstandingReferences;
}

void CmpDereferenceKey(PCM_KEY Key) {
    PCM_REGISTRY registry = Key->Registry;
    std::lock_guard guard(registry->Lock);
    // The tree holds one reference of a key still in it; only the rest are callers'.
    const ULONG treeReference = Key->Deleted ? 0 : 1;
    if (Key->References <= treeReference || registry->OutstandingReferences == 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "registry key released more often than opened",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Key));
    }
    --registry->OutstandingReferences;
    CmpReleaseLocked(Key);
}

NTSTATUS CmpDeleteKey(PCM_KEY Key) { return CmpDeleteCommon(Key, false, VF_CALLER()); }

NTSTATUS CmpDeleteKeyTree(PCM_KEY Key) { return CmpDeleteCommon(Key, true, VF_CALLER()); }

NTSTATUS CmpEnumerateKey(PCM_KEY Key, ULONG Index, PWSTR Name, ULONG NameLength,
                         ULONG* RequiredLength) {
    std::lock_guard guard(Key->Registry->Lock);
    CmpCheckReference(Key, VF_CALLER());
    if (Key->Deleted) {
        return STATUS_KEY_DELETED;
    }
    if (Index >= Key->SubKeys.size()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    auto it = Key->SubKeys.begin();
    std::advance(it, Index);
    const std::u16string& name = it->second->Name;
    ULONG needed = static_cast<ULONG>(name.size() + 1);
    if (RequiredLength != nullptr) {
        *RequiredLength = needed;
    }
    if (NameLength < needed) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(Name, name.c_str(), needed * sizeof(WCHAR));
    return STATUS_SUCCESS;
}
