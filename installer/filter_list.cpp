// installer/filter_list.cpp - editing a stored list of filter names.
#include "filter_list.h"

namespace {

DWORD NameLength(LPCWSTR Name) {
    DWORD n = 0;
    while (Name[n] != 0) {
        ++n;
    }
    return n;
}

WCHAR UpperCase(WCHAR C) { return (C >= 'a' && C <= 'z') ? static_cast<WCHAR>(C - 'a' + 'A') : C; }

// Does the run List[0..Length) spell Name, ignoring ASCII case?
bool SameName(const WCHAR* List, DWORD Length, LPCWSTR Name) {
    if (Length != NameLength(Name)) {
        return false;
    }
    for (DWORD i = 0; i < Length; ++i) {
        if (UpperCase(List[i]) != UpperCase(Name[i])) {
            return false;
        }
    }
    return true;
}

// End of the string starting at Start: its null, or Count when it has none.
DWORD StringEnd(const WCHAR* List, DWORD Count, DWORD Start) {
    DWORD i = Start;
    while (i < Count && List[i] != 0) {
        ++i;
    }
    return i;
}

} // namespace

bool FilterListContains(const WCHAR* List, DWORD Count, LPCWSTR Name) {
    DWORD i = 0;
    while (i < Count && List[i] != 0) {
        DWORD end = StringEnd(List, Count, i);
        if (SameName(List + i, end - i, Name)) {
            return true;
        }
        i = end + 1;
    }
    return false;
}

DWORD FilterListAppendRoom(DWORD Count, LPCWSTR Name) {
    // The list, a null for an unterminated last string, the name and its null,
    // and the list's final null.
    return Count + 1 + NameLength(Name) + 1 + 1;
}

DWORD FilterListRemoveRoom(DWORD Count) {
    // At most the list itself, plus the nulls that end the last string and the list.
    return Count + 2;
}

DWORD FilterListAppend(const WCHAR* List, DWORD Count, LPCWSTR Name, WCHAR* Out) {
    DWORD n = 0;
    DWORD i = 0;
    while (i < Count && List[i] != 0) {
        DWORD end = StringEnd(List, Count, i);
        while (i < end) {
            Out[n++] = List[i++];
        }
        Out[n++] = 0;
        i = end + 1;
    }
    for (LPCWSTR p = Name; *p != 0; ++p) {
        Out[n++] = *p;
    }
    Out[n++] = 0;
    // The list's end, then whatever followed it in the stored value.
    Out[n++] = 0;
    for (i = i + 1; i < Count; ++i) {
        Out[n++] = List[i];
    }
    return n;
}

DWORD FilterListRemove(const WCHAR* List, DWORD Count, LPCWSTR Name, WCHAR* Out, bool* Removed) {
    // Every null-ended run of the whole value is looked at, the list's end and
    // anything stored after it included, so no copy of the name survives.
    DWORD n = 0;
    DWORD i = 0;
    *Removed = false;
    while (i < Count) {
        DWORD end = StringEnd(List, Count, i);
        if (end > i && SameName(List + i, end - i, Name)) {
            *Removed = true;
        } else {
            for (DWORD k = i; k < end; ++k) {
                Out[n++] = List[k];
            }
            if (end < Count) {
                Out[n++] = 0;
            }
        }
        i = end + 1;
    }
    // End the last string, then the list.
    if (n == 0 || Out[n - 1] != 0) {
        Out[n++] = 0;
    }
    if (n >= 2 && Out[n - 2] != 0) {
        Out[n++] = 0;
    }
    return n;
}
