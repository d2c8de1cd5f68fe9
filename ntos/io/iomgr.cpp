// io/iomgr.cpp - the I/O manager's object types and its lifetime within the
// emulated kernel.
#include "ntos/io/iodb.h"
#include "ntos/io/irptrack.h"
#include "ntos/ob/obp.h"

namespace {

POBJECT_TYPE IopFileObjectTypeValue;
POBJECT_TYPE IopDeviceObjectTypeValue;
POBJECT_TYPE IopDriverObjectTypeValue;

} // namespace

POBJECT_TYPE* IoFileObjectType = &IopFileObjectTypeValue;
POBJECT_TYPE* IoDeviceObjectType = &IopDeviceObjectTypeValue;
POBJECT_TYPE* IoDriverObjectType = &IopDriverObjectTypeValue;

void IopInitialize() {
    if (IopFileObjectTypeValue != nullptr) {
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
    IopFileObjectTypeValue = ObpCreateObjectType(u"File", file);
    IopDeviceObjectTypeValue = ObpCreateObjectType(u"Device", device);
    IopDriverObjectTypeValue = ObpCreateObjectType(u"Driver", driver);
}

void IopShutdown() {
    IopFileObjectTypeValue = nullptr;
    IopDeviceObjectTypeValue = nullptr;
    IopDriverObjectTypeValue = nullptr;
    IopSetMountRoutine(nullptr);
    IopRefuseAttach(0);
    IopForgetIrps();
}
