// ob/obheader.h - the records the object manager keeps in front of and beside
// object bodies. Private to ob.
#pragma once

#include "ntos/ob/obp.h"
#include "ntos/ke/ki.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

struct OBP_DIRECTORY;

// In front of every object body; the body starts right after it (16-byte aligned).
struct alignas(16) OBP_OBJECT_HEADER {
    LIST_ENTRY ObjectListEntry;          // in the list of all objects; ObpObjectListLock
    POBJECT_TYPE Type;                   // set at creation
    std::atomic<LONG_PTR> PointerCount;  // references, handles included
    std::atomic<LONG_PTR> HandleCount;   // open handles
    OBP_DIRECTORY* Directory;            // the directory naming it, or NULL; ObpNamespaceLock
    std::u16string Name;                 // its name in Directory; ObpNamespaceLock
    BOOLEAN Permanent;                   // the namespace holds a reference; ObpNamespaceLock
};

struct _OBJECT_TYPE {
    std::u16string Name;              // set at creation
    OBP_TYPE_PROCEDURES Procedures;   // set at creation
    GENERIC_MAPPING GenericMapping;   // set at creation
    BOOLEAN Waitable;                 // the body starts with a DISPATCHER_HEADER
    BOOLEAN KernelOwned;              // created by ke/ps/ob: its Delete runs at kernel stop
};

// A directory object's body. Keys are upcased names.
struct OBP_DIRECTORY {
    std::map<std::u16string, PVOID> Entries;  // ObpNamespaceLock
};

// A symbolic link object's body.
struct OBP_SYMBOLIC_LINK {
    std::u16string Target;  // set at creation
};

inline OBP_OBJECT_HEADER* ObpHeader(PVOID Object) {
    return reinterpret_cast<OBP_OBJECT_HEADER*>(static_cast<char*>(Object) -
                                                sizeof(OBP_OBJECT_HEADER));
}
inline PVOID ObpBody(OBP_OBJECT_HEADER* Header) {
    return reinterpret_cast<char*>(Header) + sizeof(OBP_OBJECT_HEADER);
}

extern std::mutex ObpNamespaceLock;  // guards every directory and object name
extern POBJECT_TYPE ObpDirectoryType;
extern POBJECT_TYPE ObpSymbolicLinkType;

// Takes a reference unless the object is already on its way to deletion.
bool ObpTryReference(PVOID Object);
std::u16string ObpUpcase(std::u16string_view Name);
std::u16string ObpString(PCUNICODE_STRING Name);
NTSTATUS ObpLookup(std::u16string Path, POBJECT_TYPE ExpectedType, PVOID ParseContext,
                   bool OpenLink, PVOID* Object);

// Namespace and executive types, set up and torn down with the object manager.
void ObpInitializeNamespace();
void ObpShutdownNamespace();
void ObpCreateExecutiveTypes();
