// The namespace: standard directories, names, case-insensitive lookup through
// \??, symbolic links, parse procedures.
#include "ntddk.h"
#include "ntos/kernel_fixture.h"
#include "ntos/ob/obp.h"

#include <cstring>
#include <string>

namespace {

class NamespaceTest : public KernelTest {};

UNICODE_STRING String(const char16_t* Text) {
    USHORT length = static_cast<USHORT>(std::char_traits<char16_t>::length(Text) * 2);
    return UNICODE_STRING{length, length, const_cast<PWSTR>(Text)};
}

NTSTATUS Lookup(const char16_t* Name, PVOID* Object, POBJECT_TYPE Type = nullptr) {
    UNICODE_STRING name = String(Name);
    return ObpLookupObjectName(&name, Type, nullptr, Object);
}

TEST_F(NamespaceTest, NamedObjectIsFoundCaseInsensitivelyThroughDosDevicesAlias) {
    HANDLE handle;
    UNICODE_STRING name = String(u"\\DosDevices\\QvdApi");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, 0, nullptr, nullptr);
    ASSERT_EQ(ZwCreateEvent(&handle, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE),
              STATUS_SUCCESS);
    PVOID byAlias;
    PVOID byDirectory;
    ASSERT_EQ(Lookup(u"\\??\\QVDAPI", &byAlias, *ExEventObjectType), STATUS_SUCCESS);
    ASSERT_EQ(Lookup(u"\\dosdevices\\qvdapi", &byDirectory), STATUS_SUCCESS);
    EXPECT_EQ(byAlias, byDirectory);
    ObDereferenceObject(byAlias);
    ObDereferenceObject(byDirectory);
    HANDLE second;
    EXPECT_EQ(ZwCreateEvent(&second, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    PVOID gone;
    EXPECT_EQ(Lookup(u"\\??\\QVDAPI", &gone), STATUS_OBJECT_NAME_NOT_FOUND)
        << "the name goes with the object";
}

TEST_F(NamespaceTest, LookupFailuresAreDistinguished) {
    PVOID object;
    EXPECT_EQ(Lookup(u"\\Device\\Nothing", &object), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Lookup(u"\\Nowhere\\Nothing", &object), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Lookup(u"Device", &object), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Lookup(u"\\Driver", &object, *ExEventObjectType), STATUS_OBJECT_TYPE_MISMATCH);
    for (const char16_t* directory : {u"\\Device", u"\\Driver", u"\\FileSystem", u"\\ObjectTypes"}) {
        EXPECT_EQ(Lookup(directory, &object), STATUS_SUCCESS);
        ObDereferenceObject(object);
    }
}

TEST_F(NamespaceTest, SymbolicLinkQueryReportsTheNeededLength) {
    UNICODE_STRING link = String(u"\\??\\C:");
    UNICODE_STRING target = String(u"\\Device\\HarddiskVolume1");
    ASSERT_EQ(ObpCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    HANDLE handle;
    OBJECT_ATTRIBUTES oa;
    UNICODE_STRING name = String(u"\\DosDevices\\c:");
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenSymbolicLinkObject(&handle, SYMBOLIC_LINK_QUERY, &oa), STATUS_SUCCESS);

    WCHAR small[8];
    UNICODE_STRING shortBuffer{0, sizeof(small), small};
    ULONG needed = 0;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(handle, &shortBuffer, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, target.Length + sizeof(WCHAR));

    WCHAR exact[23];  // room for the target without its terminator
    UNICODE_STRING exactBuffer{0, sizeof(exact), exact};
    EXPECT_EQ(ZwQuerySymbolicLinkObject(handle, &exactBuffer, &needed), STATUS_SUCCESS);
    EXPECT_EQ(exactBuffer.Length, target.Length);
    EXPECT_EQ(std::memcmp(exact, target.Buffer, target.Length), 0);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    EXPECT_EQ(ObpDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(ZwOpenSymbolicLinkObject(&handle, SYMBOLIC_LINK_QUERY, &oa),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// A type whose parse procedure makes a "file" object remembering the rest of the name.
POBJECT_TYPE TestDeviceType;
POBJECT_TYPE TestFileType;

struct TestFile {
    WCHAR Name[64];
};

NTSTATUS ParseTestDevice(PVOID, PUNICODE_STRING RemainingName, PVOID, PVOID* Object) {
    PVOID file;
    NTSTATUS status = ObpCreateObject(TestFileType, sizeof(TestFile), &file);
    if (NT_SUCCESS(status)) {
        std::memcpy(static_cast<TestFile*>(file)->Name, RemainingName->Buffer,
                    RemainingName->Length);
        *Object = file;
    }
    return status;
}

TEST_F(NamespaceTest, ParseProcedureProducesTheObjectThroughALink) {
    OBP_TYPE_PROCEDURES deviceProcedures{};
    deviceProcedures.Parse = ParseTestDevice;
    const GENERIC_MAPPING mapping = {1, 2, 4, 7};
    TestDeviceType = ObpCreateObjectType(u"TestDevice", deviceProcedures, mapping);
    TestFileType = ObpCreateObjectType(u"TestFile", OBP_TYPE_PROCEDURES{}, mapping);
    PVOID device;
    ASSERT_EQ(ObpCreateObject(TestDeviceType, 16, &device), STATUS_SUCCESS);
    UNICODE_STRING deviceName = String(u"\\Device\\HarddiskVolume1");
    ASSERT_EQ(ObpInsertObjectName(device, &deviceName), STATUS_SUCCESS);
    UNICODE_STRING link = String(u"\\??\\X:");
    ASSERT_EQ(ObpCreateSymbolicLink(&link, &deviceName), STATUS_SUCCESS);

    PVOID file;
    ASSERT_EQ(Lookup(u"\\??\\x:\\dir\\file.txt", &file, TestFileType), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(static_cast<TestFile*>(file)->Name), u"\\dir\\file.txt");
    ObDereferenceObject(file);
    PVOID same;
    ASSERT_EQ(Lookup(u"\\Device\\HARDDISKVOLUME1", &same), STATUS_SUCCESS)
        << "no name left and no parse context: the device itself";
    EXPECT_EQ(same, device);
    ObDereferenceObject(same);
    EXPECT_EQ(ObpDeleteSymbolicLink(&link), STATUS_SUCCESS);
    ObDereferenceObject(device);
}

} // namespace
