// win32/handle_count.h - how many win32 handles (registry keys, service
// manager, services) are open, so tests can prove a caller closed its own.
#pragma once

#include "windows.h"

ULONG BasepOpenHandleCount();
