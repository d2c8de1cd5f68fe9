// pool_tags.h - the driver's kernel pool tags, one per kind of allocation.
//
// Kernel mode, any IRQL. Every block the driver takes from the kernel pool
// carries one of these tags, so that pool accounting and leak reports show
// which kind of record a block holds. Each tag shows as "Qvd" followed by the
// letter named in its comment.
#pragma once

#include <ntddk.h>

// "QvdA": the freeze watchdog records of the volumes.
#define QVD_TAG_FREEZE_TIMER EX_POOL_TAG('Q', 'v', 'd', 'A')
// "QvdC": snapshot contexts.
#define QVD_TAG_SNAPSHOT_CONTEXT EX_POOL_TAG('Q', 'v', 'd', 'C')
// "QvdH": hash tables (header and bucket array in one block).
#define QVD_TAG_HASH_TABLE EX_POOL_TAG('Q', 'v', 'd', 'H')
// "QvdP": in-memory copies of preserved sectors.
#define QVD_TAG_PRESERVED_DATA EX_POOL_TAG('Q', 'v', 'd', 'P')
// "QvdR": tag tracking of the filter devices' remove locks.
#define QVD_TAG_REMOVE_LOCK EX_POOL_TAG('Q', 'v', 'd', 'R')
// "QvdS": symbolic link targets too long for the stack buffer.
#define QVD_TAG_LINK_TARGET EX_POOL_TAG('Q', 'v', 'd', 'S')
// "QvdT": kernel timers.
#define QVD_TAG_TIMER EX_POOL_TAG('Q', 'v', 'd', 'T')
// "QvdU": zero-filled memory from AllocZeroed: block pool pages, the
// executive resources of paged block pools, joined paths.
#define QVD_TAG_ZEROED EX_POOL_TAG('Q', 'v', 'd', 'U')
// "QvdV": copies of volume names.
#define QVD_TAG_VOLUME_NAME EX_POOL_TAG('Q', 'v', 'd', 'V')
// "QvdW": transfer buffers of preserving reads.
#define QVD_TAG_TRANSFER_BUFFER EX_POOL_TAG('Q', 'v', 'd', 'W')
// "Qvd ": short-lived scratch buffers (name copies, the zero-fill buffer).
#define QVD_TAG_SCRATCH EX_POOL_TAG('Q', 'v', 'd', ' ')
