// ob/namespace.cpp - the object namespace: directories, object names,
// symbolic links and name lookup.
//
// Names compare case-insensitively. The namespace holds no reference to a
// named object (except permanent ones: directories and symbolic links); an
// object leaves it when its last reference goes. Lookups walk the tree under
// the namespace lock, which keeps every object reachable from a directory
// allocated (its deletion waits for the lock to take its name away).
#include "ntos/ob/obheader.h"
#include "ntos/verifier/bugcheck.h"

#include <vector>

std::mutex ObpNamespaceLock;
POBJECT_TYPE ObpDirectoryType = nullptr;
POBJECT_TYPE ObpSymbolicLinkType = nullptr;

namespace {

PVOID ObpRootDirectory = nullptr;         // referenced while the kernel runs
std::vector<PVOID> ObpStandardDirectories;  // referenced while the kernel runs

// At most this many symbolic links or reparses in one lookup.
constexpr int ObpMaximumReparse = 32;

void ObpDeleteDirectory(PVOID Object) { static_cast<OBP_DIRECTORY*>(Object)->~OBP_DIRECTORY(); }

void ObpDeleteSymbolicLinkBody(PVOID Object) {
    static_cast<OBP_SYMBOLIC_LINK*>(Object)->~OBP_SYMBOLIC_LINK();
}

PVOID ObpCreateDirectory(std::u16string_view Name) {
    PVOID object;
    if (!NT_SUCCESS(ObpCreateObject(ObpDirectoryType, sizeof(OBP_DIRECTORY), &object))) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "a standard directory could not be created",
                   nullptr);
    }
    new (object) OBP_DIRECTORY{};
    if (!Name.empty()) {
        std::u16string name(Name);
        UNICODE_STRING string{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                              static_cast<USHORT>(name.size() * sizeof(WCHAR)), name.data()};
        NTSTATUS status = ObpInsertObjectName(object, &string);
        if (!NT_SUCCESS(status)) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "a standard directory could not be named", nullptr,
                       static_cast<ULONG_PTR>(status));
        }
        ObpStandardDirectories.push_back(object);
    }
    return object;
}

UNICODE_STRING ObpView(std::u16string& String) {
    return UNICODE_STRING{static_cast<USHORT>(String.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(String.size() * sizeof(WCHAR)), String.data()};
}

} // namespace

std::u16string ObpUpcase(std::u16string_view Name) {
    std::u16string upper(Name);
    for (char16_t& c : upper) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
            c = static_cast<char16_t>(c - 0x20);
        }
    }
    return upper;
}

std::u16string ObpString(PCUNICODE_STRING Name) {
    if (Name == nullptr || Name->Buffer == nullptr) {
        return std::u16string();
    }
    return std::u16string(Name->Buffer, Name->Length / sizeof(WCHAR));
}

NTSTATUS ObpLookup(std::u16string Path, POBJECT_TYPE ExpectedType, PVOID ParseContext,
                   bool OpenLink, PVOID* Object) {
    for (int reparse = 0; reparse <= ObpMaximumReparse; ++reparse) {
        if (Path.empty()) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (Path[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        std::unique_lock<std::mutex> lock(ObpNamespaceLock);
        PVOID current = ObpRootDirectory;
        size_t position = 1;
        bool restart = false;
        while (!restart) {
            if (position >= Path.size()) {
                if (!ObpTryReference(current)) {
                    return STATUS_OBJECT_NAME_NOT_FOUND;
                }
                lock.unlock();
                if (ExpectedType != nullptr && ObpHeader(current)->Type != ExpectedType) {
                    ObfDereferenceObject(current);
                    return STATUS_OBJECT_TYPE_MISMATCH;
                }
                *Object = current;
                return STATUS_SUCCESS;
            }
            size_t end = Path.find(u'\\', position);
            std::u16string_view component(Path.data() + position,
                                          (end == std::u16string::npos ? Path.size() : end) -
                                              position);
            std::u16string rest = end == std::u16string::npos ? std::u16string() : Path.substr(end);
            if (component.empty()) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            auto* directory = static_cast<OBP_DIRECTORY*>(current);
            auto entry = directory->Entries.find(ObpUpcase(component));
            if (entry == directory->Entries.end() ||
                ObpHeader(entry->second)->PointerCount.load() == 0) {
                return rest.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            }
            PVOID child = entry->second;
            POBJECT_TYPE type = ObpHeader(child)->Type;
            if (type == ObpDirectoryType) {
                current = child;
                position = end == std::u16string::npos ? Path.size() : end + 1;
                if (end != std::u16string::npos && end + 1 == Path.size()) {
                    return STATUS_OBJECT_NAME_INVALID;  // a trailing backslash
                }
                continue;
            }
            if (type == ObpSymbolicLinkType && !(OpenLink && rest.empty())) {
                Path = static_cast<OBP_SYMBOLIC_LINK*>(child)->Target + rest;
                restart = true;
                continue;
            }
            if (type->Procedures.Parse != nullptr && (!rest.empty() || ParseContext != nullptr)) {
                if (!ObpTryReference(child)) {
                    return STATUS_OBJECT_NAME_NOT_FOUND;
                }
                lock.unlock();
                UNICODE_STRING remaining = ObpView(rest);
                PVOID parsed = nullptr;
                NTSTATUS status = type->Procedures.Parse(child, &remaining, ParseContext, &parsed);
                ObfDereferenceObject(child);
                if (status == STATUS_REPARSE) {
                    Path = ObpString(&remaining);
                    break;  // look the new name up from the root
                }
                if (!NT_SUCCESS(status)) {
                    return status;
                }
                if (ExpectedType != nullptr && ObpHeader(parsed)->Type != ExpectedType) {
                    ObfDereferenceObject(parsed);
                    return STATUS_OBJECT_TYPE_MISMATCH;
                }
                *Object = parsed;
                return status;
            }
            if (!rest.empty()) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
            current = child;
            position = Path.size();
        }
    }
    return STATUS_OBJECT_NAME_INVALID;  // too many symbolic links or reparses
}

NTSTATUS ObpLookupObjectName(PCUNICODE_STRING Name, POBJECT_TYPE ExpectedTypeOrNull,
                             PVOID ParseContext, PVOID* Object) {
    return ObpLookup(ObpString(Name), ExpectedTypeOrNull, ParseContext, false, Object);
}

NTSTATUS ObpInsertObjectName(PVOID Object, PCUNICODE_STRING FullName) {
    std::u16string name = ObpString(FullName);
    size_t slash = name.rfind(u'\\');
    if (name.empty() || name[0] != u'\\' || slash == std::u16string::npos ||
        slash + 1 == name.size()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string parentPath = slash == 0 ? std::u16string(u"\\") : name.substr(0, slash);
    std::u16string leaf = name.substr(slash + 1);
    PVOID parent;
    NTSTATUS status = ObpLookup(parentPath, ObpDirectoryType, nullptr, false, &parent);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_TYPE_MISMATCH) {
        status = STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* directory = static_cast<OBP_DIRECTORY*>(parent);
    OBP_OBJECT_HEADER* header = ObpHeader(Object);
    {
        std::lock_guard<std::mutex> guard(ObpNamespaceLock);
        std::u16string key = ObpUpcase(leaf);
        auto entry = directory->Entries.find(key);
        if (header->Directory != nullptr) {
            status = STATUS_OBJECT_NAME_COLLISION;  // the object has a name already
        } else if (entry != directory->Entries.end() &&
                   ObpHeader(entry->second)->PointerCount.load() > 0) {
            status = STATUS_OBJECT_NAME_COLLISION;
        } else {
            directory->Entries[key] = Object;
            header->Directory = directory;
            header->Name = leaf;
        }
    }
    ObfDereferenceObject(parent);
    return status;
}

void ObpRemoveObjectName(PVOID Object) {
    OBP_OBJECT_HEADER* header = ObpHeader(Object);
    std::lock_guard<std::mutex> guard(ObpNamespaceLock);
    if (header->Directory == nullptr) {
        return;
    }
    auto entry = header->Directory->Entries.find(ObpUpcase(header->Name));
    if (entry != header->Directory->Entries.end() && entry->second == Object) {
        header->Directory->Entries.erase(entry);
    }
    header->Directory = nullptr;
}

NTSTATUS ObpCreateSymbolicLink(PCUNICODE_STRING LinkName, PCUNICODE_STRING Target) {
    std::u16string target = ObpString(Target);
    if (target.empty() || target[0] != u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    PVOID object;
    NTSTATUS status = ObpCreateObject(ObpSymbolicLinkType, sizeof(OBP_SYMBOLIC_LINK), &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    new (object) OBP_SYMBOLIC_LINK{target};
    status = ObpInsertObjectName(object, LinkName);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(object);
        return status;
    }
    std::lock_guard<std::mutex> guard(ObpNamespaceLock);
    ObpHeader(object)->Permanent = TRUE;  // the creation reference stays with the namespace
    return STATUS_SUCCESS;
}

NTSTATUS ObpDeleteSymbolicLink(PCUNICODE_STRING LinkName) {
    PVOID object;
    NTSTATUS status = ObpLookup(ObpString(LinkName), ObpSymbolicLinkType, nullptr, true, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool permanent;
    {
        std::lock_guard<std::mutex> guard(ObpNamespaceLock);
        permanent = ObpHeader(object)->Permanent;
        ObpHeader(object)->Permanent = FALSE;
    }
    ObpRemoveObjectName(object);
    if (permanent) {
        ObfDereferenceObject(object);
    }
    ObfDereferenceObject(object);
    return STATUS_SUCCESS;
}

void ObpInitializeNamespace() {
    static const GENERIC_MAPPING directoryMapping = {
        STANDARD_RIGHTS_READ | DIRECTORY_QUERY | DIRECTORY_TRAVERSE,
        STANDARD_RIGHTS_WRITE | DIRECTORY_CREATE_OBJECT | DIRECTORY_CREATE_SUBDIRECTORY,
        STANDARD_RIGHTS_EXECUTE | DIRECTORY_QUERY | DIRECTORY_TRAVERSE, DIRECTORY_ALL_ACCESS};
    static const GENERIC_MAPPING linkMapping = {
        STANDARD_RIGHTS_READ | SYMBOLIC_LINK_QUERY, STANDARD_RIGHTS_WRITE,
        STANDARD_RIGHTS_EXECUTE | SYMBOLIC_LINK_QUERY, SYMBOLIC_LINK_ALL_ACCESS};
    OBP_TYPE_PROCEDURES directoryProcedures{};
    directoryProcedures.Delete = ObpDeleteDirectory;
    ObpDirectoryType =
        ObpCreateKernelType(u"Directory", directoryProcedures, FALSE, directoryMapping);
    OBP_TYPE_PROCEDURES linkProcedures{};
    linkProcedures.Delete = ObpDeleteSymbolicLinkBody;
    ObpSymbolicLinkType =
        ObpCreateKernelType(u"SymbolicLink", linkProcedures, FALSE, linkMapping);

    ObpRootDirectory = ObpCreateDirectory(u"");
    for (const char16_t* name : {u"\\Device", u"\\??", u"\\Driver", u"\\FileSystem",
                                 u"\\ObjectTypes", u"\\BaseNamedObjects"}) {
        ObpCreateDirectory(name);
    }
    std::u16string link = u"\\DosDevices";
    std::u16string target = u"\\??";
    UNICODE_STRING linkName = ObpView(link);
    UNICODE_STRING linkTarget = ObpView(target);
    if (!NT_SUCCESS(ObpCreateSymbolicLink(&linkName, &linkTarget))) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "\\DosDevices could not be created",
                   nullptr);
    }
}

void ObpShutdownNamespace() {
    // Unname everything; permanent objects lose the namespace's reference.
    std::vector<PVOID> permanent;
    {
        std::lock_guard<std::mutex> guard(ObpNamespaceLock);
        std::vector<OBP_DIRECTORY*> directories{static_cast<OBP_DIRECTORY*>(ObpRootDirectory)};
        for (PVOID d : ObpStandardDirectories) {
            directories.push_back(static_cast<OBP_DIRECTORY*>(d));
        }
        for (OBP_DIRECTORY* directory : directories) {
            for (auto& [key, object] : directory->Entries) {
                OBP_OBJECT_HEADER* header = ObpHeader(object);
                if (header->Directory == directory) {
                    header->Directory = nullptr;
                    if (header->Permanent) {
                        header->Permanent = FALSE;
                        permanent.push_back(object);
                    }
                }
            }
            directory->Entries.clear();
        }
    }
    for (PVOID object : permanent) {
        ObfDereferenceObject(object);
    }
    for (PVOID directory : ObpStandardDirectories) {
        ObfDereferenceObject(directory);
    }
    ObpStandardDirectories.clear();
    ObfDereferenceObject(ObpRootDirectory);
    ObpRootDirectory = nullptr;
}
