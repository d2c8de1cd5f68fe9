// win32/handles.cpp - the table of win32 handles of the emulated user mode.
#include "win32/basep.h"
#include "win32/handle_count.h"

#include <map>
#include <mutex>

namespace {

std::mutex BasepHandleLock;
std::map<ULONG_PTR, BASEP_HANDLE> BasepHandles; // guarded by BasepHandleLock
ULONG_PTR BasepNextHandle = 0x100;              // guarded by BasepHandleLock; steps of 4

bool BasepSameName(const std::u16string& A, const std::u16string& B) {
    auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
    if (A.size() != B.size()) {
        return false;
    }
    for (size_t i = 0; i < A.size(); ++i) {
        if (fold(A[i]) != fold(B[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

HANDLE BasepInsertHandle(BASEP_HANDLE Record) {
    std::lock_guard guard(BasepHandleLock);
    ULONG_PTR value = BasepNextHandle;
    BasepNextHandle += 4;
    BasepHandles.emplace(value, std::move(Record));
    return reinterpret_cast<HANDLE>(value);
}

bool BasepLookupHandle(HANDLE Handle, BASEP_HANDLE_KIND Kind, BASEP_HANDLE* Record) {
    std::lock_guard guard(BasepHandleLock);
    auto it = BasepHandles.find(reinterpret_cast<ULONG_PTR>(Handle));
    if (it == BasepHandles.end() || it->second.Kind != Kind) {
        return false;
    }
    *Record = it->second;
    return true;
}

bool BasepRemoveHandle(HANDLE Handle, BASEP_HANDLE_KIND Kind, BASEP_HANDLE* Record) {
    std::lock_guard guard(BasepHandleLock);
    auto it = BasepHandles.find(reinterpret_cast<ULONG_PTR>(Handle));
    if (it == BasepHandles.end() || it->second.Kind != Kind) {
        return false;
    }
    *Record = std::move(it->second);
    BasepHandles.erase(it);
    return true;
}

ULONG BasepCountServiceHandles(PCM_REGISTRY Registry, const std::u16string& ServiceName) {
    std::lock_guard guard(BasepHandleLock);
    ULONG count = 0;
    for (const auto& [value, record] : BasepHandles) {
        if (record.Kind == BASEP_HANDLE_KIND::Service && record.Registry == Registry &&
            BasepSameName(record.ServiceName, ServiceName)) {
            ++count;
        }
    }
    return count;
}

ULONG BasepOpenHandleCount() {
    std::lock_guard guard(BasepHandleLock);
    return static_cast<ULONG>(BasepHandles.size());
}
