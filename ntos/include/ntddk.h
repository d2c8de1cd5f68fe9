// ntddk.h - the kernel API subset the emulated kernel offers to drivers.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "bugcodes.h"
#include "nt/rtl.h"
#include "nt/seh.h"
#include "nt/ke.h"
#include "nt/debug.h"
#include "nt/ps.h"
#include "nt/ex.h"
#include "nt/interlocked.h"
#include "nt/ob.h"
#include "nt/se.h"
#include "nt/io.h"
#include "nt/iolog.h"
#include "nt/mm.h"
// File I/O on handles (ZwReadFile, ZwWriteFile ...), as the platform's
// ntddk.h declares them.
#include "nt/fs.h"
