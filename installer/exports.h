// installer/exports.h - the install library's two exports, called by a
// product's setup program with its product number (caller cleans the stack).
// Each returns 0 on success or a result code from 1 to 18.
#pragma once

#include <windows.h>

extern "C" int __cdecl QVDInstall(DWORD Product);
extern "C" int __cdecl QVDUninstall(DWORD Product);
