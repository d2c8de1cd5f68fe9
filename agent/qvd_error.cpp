// qvd_error.cpp - names and messages of the agent's errors.
#include "qvd_error.h"
#include "fileapi.h"
#include "securitybaseapi.h"
#include "snapshot/qvdapi.h"

namespace {

struct ResultText {
    uint32_t Code;
    const char* Name;
    const char* Message;
};

const ResultText ResultTexts[] = {
    {QVD_RESULT_SUCCESS, "QVD_RESULT_SUCCESS", "success"},
    {QVD_RESULT_FREEZE_FAILED, "QVD_RESULT_FREEZE_FAILED",
     "the volume did not become quiet in time; writers kept it busy"},
    {QVD_RESULT_INVALID, "QVD_RESULT_INVALID",
     "invalid request, or the volume is unknown or not frozen"},
    {QVD_RESULT_ALREADY_FROZEN, "QVD_RESULT_ALREADY_FROZEN",
     "the volume is already frozen by another agent"},
    {QVD_RESULT_BAD_POSITION, "QVD_RESULT_BAD_POSITION",
     "progress went backwards or past the end of the volume"},
    {QVD_RESULT_BAD_FILE_HANDLE, "QVD_RESULT_BAD_FILE_HANDLE",
     "a file handle is invalid, or a file could not be prepared"},
    {QVD_RESULT_LIST_FULL, "QVD_RESULT_LIST_FULL", "the pass-through list is full (64 files)"},
    {QVD_RESULT_NOT_LISTED, "QVD_RESULT_NOT_LISTED", "the file is not on the pass-through list"},
    {QVD_RESULT_READ_ONLY_VOLUME, "QVD_RESULT_READ_ONLY_VOLUME",
     "the volume is read-only and needs no snapshot"},
    {QVD_RESULT_NO_MEMORY, "QVD_RESULT_NO_MEMORY", "the driver ran out of memory"},
    {QVD_RESULT_FILE_SETUP_FAILED, "QVD_RESULT_FILE_SETUP_FAILED",
     "the partial data file or the change store could not be created"},
    {QVD_RESULT_NTFS_CHECK_FAILED, "QVD_RESULT_NTFS_CHECK_FAILED",
     "the file system's internal stream could not be checked"},
    {QVD_RESULT_BAD_MUTEX, "QVD_RESULT_BAD_MUTEX",
     "the snapshot mutex is invalid or not owned by the freezing thread"},
};

struct ErrorName {
    DWORD Code;
    const char* Name;
};

const ErrorName ErrorNames[] = {
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {ERROR_WRITE_PROTECT, "ERROR_WRITE_PROTECT"},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
    {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION"},
    {ERROR_HANDLE_EOF, "ERROR_HANDLE_EOF"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_DISK_FULL, "ERROR_DISK_FULL"},
    {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
    {ERROR_NOACCESS, "ERROR_NOACCESS"},
    {ERROR_INVALID_USER_BUFFER, "ERROR_INVALID_USER_BUFFER"},
    {ERROR_NOT_ALL_ASSIGNED, "ERROR_NOT_ALL_ASSIGNED"},
};

} // namespace

QvdError::QvdError(QvdErrorKind Kind, uint32_t Code, const std::string& What)
    : std::runtime_error(What), kind_(Kind), code_(Code) {}

std::string QvdResultName(uint32_t Result) {
    for (const ResultText& text : ResultTexts) {
        if (text.Code == Result) {
            return text.Name;
        }
    }
    if (Result & 0x80000000u) {
        static const char digits[] = "0123456789ABCDEF";
        std::string hex = "NTSTATUS 0x";
        for (int shift = 28; shift >= 0; shift -= 4) {
            hex.push_back(digits[(Result >> shift) & 0xF]);
        }
        return hex;
    }
    return "QVD_RESULT_" + std::to_string(Result);
}

const char* QvdResultMessage(uint32_t Result) {
    for (const ResultText& text : ResultTexts) {
        if (text.Code == Result) {
            return text.Message;
        }
    }
    return (Result & 0x80000000u) ? "the driver passed on a failing status of the volume"
                                  : "unknown result code";
}

std::string Win32ErrorName(DWORD Error) {
    for (const ErrorName& name : ErrorNames) {
        if (name.Code == Error) {
            return std::string(name.Name) + " (" + std::to_string(Error) + ")";
        }
    }
    return "error " + std::to_string(Error);
}

std::string QvdStatusText(uint32_t Status) {
    std::string text;
    auto add = [&text](const char* Part) {
        text += (text.empty() ? "" : ", ") + std::string(Part);
    };
    if (Status & QVD_STATUS_LOW_SPACE) {
        add("low space");
    }
    if (Status & QVD_STATUS_OUT_OF_SPACE) {
        add("out of space");
    }
    if (Status & QVD_STATUS_BROKEN) {
        add("frozen image no longer maintained");
    }
    return text.empty() ? "healthy" : text;
}

void ThrowLastError(const std::string& Operation) {
    const DWORD error = GetLastError();
    throw QvdError(QvdErrorKind::Win32, error, Operation + " failed: " + Win32ErrorName(error));
}

void CheckResult(const char* Operation, uint32_t Result) {
    if (Result != QVD_RESULT_SUCCESS) {
        throw QvdError(QvdErrorKind::Driver, Result,
                       std::string(Operation) + " answered " + QvdResultName(Result) + ": " +
                           QvdResultMessage(Result));
    }
}
