// ntddk.h - the kernel API subset the emulated kernel offers to drivers.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "bugcodes.h"
#include "nt/rtl.h"
#include "nt/seh.h"
#include "nt/ke.h"
#include "nt/ps.h"
#include "nt/ex.h"
#include "nt/ob.h"
#include "nt/io.h"
#include "nt/iolog.h"
#include "nt/mm.h"
