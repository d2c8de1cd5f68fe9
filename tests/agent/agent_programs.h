// agent_programs.h - user-side pieces of the agent's tests: an agent that
// freezes with the library and dies, and a non-cached write. Plain types.
#pragma once

#include "ntdef.h"

// Freezes Volume (a "C:" string) with the partial data file on X: and ends
// its thread still owning the snapshot mutex; Context: a DyingAgent.
struct DyingAgent {
    const char16_t* Volume;
    ULONG Result; // FreezeVolume's
};
ULONG DyingAgentProgram(PVOID Context);

// Writes 4 KiB at the start of Path, non-cached, in the calling user thread;
// FALSE when it failed.
BOOLEAN WriteDirect(const char16_t* Path);
