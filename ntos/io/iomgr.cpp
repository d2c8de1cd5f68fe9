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
    *IoFileObjectType = ObpCreateObjectType(u"File", file);
    *IoDeviceObjectType = ObpCreateObjectType(u"Device", device);
    *IoDriverObjectType = ObpCreateObjectType(u"Driver", driver);
}

void IopShutdown() {
    *IoFileObjectType = nullptr;
    *IoDeviceObjectType = nullptr;
    *IoDriverObjectType = nullptr;
    IopSetMountRoutine(nullptr);
    IopRefuseAttach(0);
    IopForgetIrps();
}
