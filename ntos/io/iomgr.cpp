// io/iomgr.cpp - the I/O manager's object types and its lifetime within the
// emulated kernel.
#include "ntos/io/iodb.h"
#include "ntos/io/irptrack.h"
#include "ntos/ob/obp.h"

// The type globals themselves belong to the object manager, so that a
// kernel built without the I/O manager still links.
void IopInitialize() {
    if (*IoFileObjectType != nullptr) {
        return;
    }
    OBP_TYPE_PROCEDURES file = {};
    file.Close = IopCloseFile;
    file.Delete = IopDeleteFile;
    OBP_TYPE_PROCEDURES device = {};
    device.Delete = IopDeleteDevice;
    device.Parse = IopParseDevice;
    OBP_TYPE_PROCEDURES driver = {};
    driver.Delete = IopDeleteDriver;
    // Devices and drivers take the file rights, as opens of them do.
    static const GENERIC_MAPPING fileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                                FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    *IoFileObjectType = ObpCreateObjectType(u"File", file, fileMapping);
    *IoDeviceObjectType = ObpCreateObjectType(u"Device", device, fileMapping);
    *IoDriverObjectType = ObpCreateObjectType(u"Driver", driver, fileMapping);
}

void IopShutdown() {
    *IoFileObjectType = nullptr;
    *IoDeviceObjectType = nullptr;
    *IoDriverObjectType = nullptr;
    IopSetMountRoutine(nullptr);
    IopRefuseAttach(0);
    IopForgetIrps();
}
