// control_program.h - the user-mode side of the control device fuzzer: a
// program that turns fuzzer bytes into control requests, and one that undoes
// what they left behind. Plain types only, so that the machine's side
// includes it beside the kernel's headers.
#pragma once

#include "ntdef.h"

#include <cstddef>
#include <cstdint>

// Volumes an input may have frozen, by their volume handles.
#define FUZZ_MAX_VOLUMES 8

struct FuzzInput {
    const uint8_t* Data;
    size_t Size;
};

// Runs the requests Context (a FuzzInput) describes from one thread of a
// user program; 0 once the control device opened.
//
// The bytes are read in turn (zeros once they run out): for each request a
// code (one of the nine, or any 32-bit value), input and output lengths
// (beyond the largest record too), the record's bytes, then for each pointer
// or handle field of a known record what to put there: the input's own
// bytes, a valid string, file, mutex or array in the program's memory, a
// string that runs without terminator into uncommitted memory, an address
// reserved but not committed, an address inside the record itself, or a
// handle of the wrong type or already closed. The freeze's two time limits
// are bounded (a few milliseconds of system time) so that one input ends
// soon.
ULONG FuzzControlProgram(PVOID Context);

struct FuzzCleanup {
    uint32_t Handles[FUZZ_MAX_VOLUMES]; // volume handles to thaw
    uint32_t Count;
};

// QVDInstall(1) of the install library: its result code.
int FuzzInstallDriver();

// Thaws Context's (a FuzzCleanup) volumes and clears the pass-through list.
ULONG FuzzCleanupProgram(PVOID Context);
