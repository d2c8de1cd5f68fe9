// ntifs.h - the kernel API for file systems and file-system filters: everything
// of ntddk.h, plus file I/O on handles, volume information, sections and views
// and the NT file system's control block layout.
#pragma once

#include "ntddk.h"
#include "nt/fs.h"
