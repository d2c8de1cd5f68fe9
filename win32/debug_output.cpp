// win32/debug_output.cpp - OutputDebugStringW and the log that keeps its lines.
#include "win32/debug_output.h"
#include "windows.h"

#include <mutex>

namespace {

std::mutex BasepDebugLock;
std::vector<std::u16string> BasepDebugLines; // guarded by BasepDebugLock; one per call

} // namespace

void OutputDebugStringW(LPCWSTR lpOutputString) {
    std::lock_guard guard(BasepDebugLock);
    BasepDebugLines.emplace_back(lpOutputString == nullptr ? u"" : lpOutputString);
}

std::vector<std::u16string> BasepReadDebugOutput() {
    std::lock_guard guard(BasepDebugLock);
    return BasepDebugLines;
}

void BasepClearDebugOutput() {
    std::lock_guard guard(BasepDebugLock);
    BasepDebugLines.clear();
}
