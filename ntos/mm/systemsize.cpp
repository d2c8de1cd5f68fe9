// mm/systemsize.cpp - the memory manager's view of the machine's size and
// product type, as the kernel was configured.
#include "ntos/ke/kernel.h"

MM_SYSTEMSIZE MmQuerySystemSize(VOID) { return KiConfig().SystemSize; }

BOOLEAN MmIsThisAnNtAsSystem(VOID) { return KiConfig().NtAsSystem; }
