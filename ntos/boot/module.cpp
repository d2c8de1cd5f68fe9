// boot/module.cpp - the table of installed driver images.
#include "ntos/boot/module.h"

#include <map>
#include <mutex>
#include <string>

namespace {

struct BOOTP_MODULE {
    PDRIVER_INITIALIZE Entry;
    PCMESSAGE_TABLE_RESOURCE MessageTable;
};

std::u16string BootpFoldName(PCWSTR Name) {
    std::u16string folded;
    for (; *Name != 0; Name++) {
        WCHAR c = *Name;
        folded.push_back(c >= u'A' && c <= u'Z' ? WCHAR(c - u'A' + u'a') : c);
    }
    return folded;
}

std::mutex BootpModuleLock;
std::map<std::u16string, BOOTP_MODULE> BootpModules; // by folded image name; BootpModuleLock

} // namespace

VOID BootRegisterModule(PCWSTR ImageName, PDRIVER_INITIALIZE Entry,
                        PCMESSAGE_TABLE_RESOURCE MessageTable) {
    std::lock_guard<std::mutex> guard(BootpModuleLock);
    BootpModules[BootpFoldName(ImageName)] = BOOTP_MODULE{Entry, MessageTable};
}

VOID BootUnregisterModule(PCWSTR ImageName) {
    std::lock_guard<std::mutex> guard(BootpModuleLock);
    BootpModules.erase(BootpFoldName(ImageName));
}

BOOLEAN BootFindModule(PCWSTR ImageName, PDRIVER_INITIALIZE* Entry,
                       PCMESSAGE_TABLE_RESOURCE* MessageTable) {
    std::lock_guard<std::mutex> guard(BootpModuleLock);
    auto it = BootpModules.find(BootpFoldName(ImageName));
    if (it == BootpModules.end()) {
        return FALSE;
    }
    *Entry = it->second.Entry;
    *MessageTable = it->second.MessageTable;
    return TRUE;
}
