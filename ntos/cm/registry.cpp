// cm/registry.cpp - registry lifetime, the active registry and fault injection.
#include "ntos/cm/cmdata.h"
#include "bugcodes.h"
#include "ntos/verifier/bugcheck.h"

#include <atomic>

namespace {

std::atomic<PCM_REGISTRY> CmpActive{nullptr};

PCM_KEY CmpNewKey(PCM_REGISTRY Registry, PCM_KEY Parent, std::u16string_view Name) {
    auto* key = new CM_KEY{Registry, 1, false, Parent, std::u16string(Name), {}, {}};
    if (Parent != nullptr) {
        Parent->SubKeys.emplace(CmpFoldName(Name), key);
    }
    return key;
}

void CmpFreeTree(PCM_KEY Key) {
    for (auto& [folded, child] : Key->SubKeys) {
        CmpFreeTree(child);
    }
    delete Key;
}

} // namespace

std::u16string CmpFoldName(std::u16string_view Name) {
    std::u16string folded(Name);
    for (auto& c : folded) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return folded;
}

PCM_REGISTRY CmpCreateRegistry() {
    auto* registry = new CM_REGISTRY{};
    registry->Root = CmpNewKey(registry, nullptr, u"REGISTRY");
    CmpNewKey(registry, registry->Root, u"MACHINE");
    CmpNewKey(registry, registry->Root, u"USER");
    return registry;
}

void CmpDestroyRegistry(PCM_REGISTRY Registry) {
    {
        std::lock_guard guard(Registry->Lock);
        if (Registry->OutstandingReferences != 0) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "registry destroyed while keys are still open", VF_CALLER(),
                       Registry->OutstandingReferences);
        }
    }
    PCM_REGISTRY expected = Registry;
    CmpActive.compare_exchange_strong(expected, nullptr);
    CmpFreeTree(Registry->Root);
    delete Registry;
}

void CmpSetActiveRegistry(PCM_REGISTRY Registry) { CmpActive.store(Registry); }

PCM_REGISTRY CmpActiveRegistry() { return CmpActive.load(); }

void CmpInjectFailure(PCM_REGISTRY Registry, CM_OPERATION Operation, PCWSTR KeyPath,
                      PCWSTR ValueName, NTSTATUS Status, ULONG Skip) {
    std::lock_guard guard(Registry->Lock);
    Registry->Failures.push_back({Operation, CmpFoldName(KeyPath), ValueName == nullptr,
                                  ValueName == nullptr ? u"" : CmpFoldName(ValueName), Status,
                                  Skip});
}

void CmpClearInjectedFailures(PCM_REGISTRY Registry) {
    std::lock_guard guard(Registry->Lock);
    Registry->Failures.clear();
}

NTSTATUS CmpCheckInjectedLocked(PCM_REGISTRY Registry, CM_OPERATION Operation,
                                std::u16string_view KeyPath, PCWSTR ValueName) {
    ASSERT(Registry->Lock.HeldByCurrentThread());
    if (Registry->Failures.empty()) {
        return STATUS_SUCCESS;
    }
    std::u16string path = CmpFoldName(KeyPath);
    std::u16string value = CmpFoldName(ValueName == nullptr ? u"" : ValueName);
    for (auto& f : Registry->Failures) {
        if (f.Operation != Operation || f.KeyPath != path || (!f.AnyValue && f.ValueName != value)) {
            continue;
        }
        if (f.Skip > 0) {
            --f.Skip;
            continue;
        }
        return f.Status;
    }
    return STATUS_SUCCESS;
}

std::u16string CmpKeyPathLocked(PCM_KEY Key) {
    ASSERT(Key->Registry->Lock.HeldByCurrentThread());
    // The path below \REGISTRY: the root itself has the empty path.
    std::u16string path;
    for (PCM_KEY k = Key; k != nullptr && k->Parent != nullptr; k = k->Parent) {
        path = path.empty() ? k->Name : k->Name + u"\\" + path;
    }
    return path;
}
