// driver/resources/message_table.h - the driver's message-table resource.
//
// Data only. Built from messages.mc at build time; the module loader hands it
// to the event log under the driver's source name. The message ids are in
// messages.h, generated from the same source.
#pragma once

#include "nt/iolog.h"

extern const MESSAGE_TABLE_RESOURCE DriverMessageTable;
