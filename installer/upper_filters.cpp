// installer/upper_filters.cpp - the driver in the Volume class's upper
// filters, which boot attaches above every volume.
//
// The stored value is read whole and rewritten with the type it had. It may be
// malformed (a REG_SZ, a list without its final null, an odd or tiny byte
// count): the edits of filter_list.cpp read only the whole characters it holds
// and write a properly ended list.
#include "filter_list.h"
#include "installer.h"

namespace {

#define QVD_VOLUME_CLASS_KEY                                                                       \
    QVD_WIDE("SYSTEM\\CurrentControlSet\\Control\\Class\\{71A27CDD-812A-11D0-BEC7-08002BE2092F}")
#define QVD_UPPER_FILTERS QVD_WIDE("UpperFilters")

struct STORED_LIST {
    DWORD Type;
    WCHAR* Chars; // from the process heap; the caller frees it
    DWORD Count;  // whole characters; an odd last byte is not one
};

// Reads the value whose size Size was just asked. False when there is no
// memory or the read fails.
bool ReadList(HKEY Key, DWORD Size, STORED_LIST* List) {
    List->Chars = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, Size + sizeof(WCHAR)));
    if (List->Chars == nullptr) {
        return false;
    }
    DWORD read = Size;
    if (RegQueryValueExW(Key, QVD_UPPER_FILTERS, nullptr, &List->Type,
                         reinterpret_cast<BYTE*>(List->Chars), &read) != ERROR_SUCCESS) {
        HeapFree(GetProcessHeap(), 0, List->Chars);
        List->Chars = nullptr;
        return false;
    }
    List->Count = read / sizeof(WCHAR);
    return true;
}

bool WriteList(HKEY Key, DWORD Type, const WCHAR* Chars, DWORD Count) {
    return RegSetValueExW(Key, QVD_UPPER_FILTERS, 0, Type, reinterpret_cast<const BYTE*>(Chars),
                          Count * sizeof(WCHAR)) == ERROR_SUCCESS;
}

// Adds the driver to an existing list unless it is there already.
int AppendToList(HKEY Key, DWORD Size) {
    STORED_LIST list = {};
    if (!ReadList(Key, Size, &list)) {
        OutputDebugStringW(QVD_WIDE("Could not query upperfilters\n"));
        return QVD_INSTALL_QUERY_FILTERS_FAILED;
    }
    int result = QVD_INSTALL_SUCCESS;
    if (FilterListContains(list.Chars, list.Count, QVD_SERVICE_NAME)) {
        OutputDebugStringW(QVD_WIDE("Driver is already in UpperFilters\n"));
    } else {
        DWORD room = FilterListAppendRoom(list.Count, QVD_SERVICE_NAME);
        auto* grown = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, room * sizeof(WCHAR)));
        if (grown == nullptr) {
            OutputDebugStringW(QVD_WIDE("Could not change UpperFilters\n"));
            result = QVD_INSTALL_CHANGE_FILTERS_FAILED;
        } else {
            DWORD count = FilterListAppend(list.Chars, list.Count, QVD_SERVICE_NAME, grown);
            OutputDebugStringW(QVD_WIDE("Appending Driver to UpperFilters\n"));
            if (!WriteList(Key, list.Type, grown, count)) {
                OutputDebugStringW(QVD_WIDE("Could not change UpperFilters\n"));
                result = QVD_INSTALL_CHANGE_FILTERS_FAILED;
            }
            HeapFree(GetProcessHeap(), 0, grown);
        }
    }
    HeapFree(GetProcessHeap(), 0, list.Chars);
    return result;
}

// Takes every copy of the driver's name out of an existing list.
int RemoveFromList(HKEY Key, DWORD Size) {
    STORED_LIST list = {};
    if (!ReadList(Key, Size, &list)) {
        OutputDebugStringW(QVD_WIDE("Could not query upperfilters\n"));
        return QVD_INSTALL_QUERY_FILTERS_FAILED;
    }
    int result = QVD_INSTALL_SUCCESS;
    auto* shrunk = static_cast<WCHAR*>(
        HeapAlloc(GetProcessHeap(), 0, FilterListRemoveRoom(list.Count) * sizeof(WCHAR)));
    if (shrunk == nullptr) {
        OutputDebugStringW(QVD_WIDE("Could not change UpperFilters\n"));
        result = QVD_INSTALL_CHANGE_FILTERS_FAILED;
    } else {
        bool removed = false;
        DWORD count = FilterListRemove(list.Chars, list.Count, QVD_SERVICE_NAME, shrunk, &removed);
        if (removed) {
            OutputDebugStringW(QVD_WIDE("Removing Driver from UpperFilters\n"));
            if (!WriteList(Key, list.Type, shrunk, count)) {
                OutputDebugStringW(QVD_WIDE("Could not change UpperFilters\n"));
                result = QVD_INSTALL_CHANGE_FILTERS_FAILED;
            }
        }
        HeapFree(GetProcessHeap(), 0, shrunk);
    }
    HeapFree(GetProcessHeap(), 0, list.Chars);
    return result;
}

} // namespace

int AddUpperFilter() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QVD_VOLUME_CLASS_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        OutputDebugStringW(QVD_WIDE("Could not open storage class key\n"));
        return QVD_INSTALL_NO_CLASS_KEY;
    }
    int result;
    DWORD size = 0;
    LONG error = RegQueryValueExW(key, QVD_UPPER_FILTERS, nullptr, nullptr, nullptr, &size);
    if (error == ERROR_FILE_NOT_FOUND) {
        static const WCHAR single[] = QVD_WIDE("QVDNT\0");
        OutputDebugStringW(QVD_WIDE("Creating UpperFilters value\n"));
        result = QVD_INSTALL_SUCCESS;
        if (!WriteList(key, REG_MULTI_SZ, single, sizeof(single) / sizeof(WCHAR))) {
            OutputDebugStringW(QVD_WIDE("Could not make UpperFilters\n"));
            result = QVD_INSTALL_CREATE_FILTERS_FAILED;
        }
    } else if (error != ERROR_SUCCESS) {
        // The list is there but unreadable: writing a fresh one would drop the
        // other filters it holds.
        OutputDebugStringW(QVD_WIDE("Could not query upperfilters\n"));
        result = QVD_INSTALL_QUERY_FILTERS_FAILED;
    } else {
        result = AppendToList(key, size);
    }
    RegCloseKey(key);
    return result;
}

int RemoveUpperFilter() {
    HKEY key = nullptr;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, QVD_VOLUME_CLASS_KEY, 0, KEY_ALL_ACCESS, &key);
    if (error == ERROR_FILE_NOT_FOUND) {
        return QVD_INSTALL_SUCCESS; // no class key, so no filter to take out
    }
    if (error != ERROR_SUCCESS) {
        OutputDebugStringW(QVD_WIDE("Could not open storage class key\n"));
        return QVD_INSTALL_NO_CLASS_KEY;
    }
    int result = QVD_INSTALL_SUCCESS;
    DWORD size = 0;
    error = RegQueryValueExW(key, QVD_UPPER_FILTERS, nullptr, nullptr, nullptr, &size);
    if (error == ERROR_SUCCESS) {
        result = RemoveFromList(key, size);
    } else if (error != ERROR_FILE_NOT_FOUND) {
        OutputDebugStringW(QVD_WIDE("Could not query upperfilters\n"));
        result = QVD_INSTALL_QUERY_FILTERS_FAILED;
    }
    RegCloseKey(key);
    return result;
}
