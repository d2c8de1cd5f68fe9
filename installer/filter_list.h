// installer/filter_list.h - editing a list of filter names as stored in the
// registry: strings of 16-bit characters, each ended by a null, the list ended
// by an empty string.
//
// Stored values are not trusted to be well formed: the last string or the list
// may lack its null, and a value may be empty. Every routine reads only the
// Count characters given and writes only within the output size it states.
#pragma once

#include <windows.h>

// True when a string of the list (up to its end) equals Name, ignoring case.
bool FilterListContains(const WCHAR* List, DWORD Count, LPCWSTR Name);

// Characters an output buffer needs for FilterListAppend or FilterListRemove.
DWORD FilterListAppendRoom(DWORD Count, LPCWSTR Name);
DWORD FilterListRemoveRoom(DWORD Count);

// Copies List with Name added as its last string and returns the characters
// written. Missing nulls of the last string and of the list are supplied;
// anything stored after the list's end is kept after it.
DWORD FilterListAppend(const WCHAR* List, DWORD Count, LPCWSTR Name, WCHAR* Out);

// Copies List without any string equal to Name (ignoring case) and returns the
// characters written, the result ended as a list; *Removed tells whether a
// string was dropped.
DWORD FilterListRemove(const WCHAR* List, DWORD Count, LPCWSTR Name, WCHAR* Out, bool* Removed);
