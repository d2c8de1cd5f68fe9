// qvd_error.h - what goes wrong in the backup agent, with a name and a
// message: a failed system call (its Win32 error), an answer of the snapshot
// driver (its result code, or the status bits of a broken frozen image), or
// a backup file that does not fit.
#pragma once

#include "windows.h"

#include <cstdint>
#include <stdexcept>
#include <string>

enum class QvdErrorKind {
    Win32,     // Code: a Win32 error from GetLastError
    Driver,    // Code: the record's Result word (QVD_RESULT_*, or a failing NTSTATUS)
    Broken,    // Code: ReportProgress Status bits; the frozen image is not usable
    Data,      // Code: 0; a backup file is malformed or does not match the volume
    Cancelled, // Code: 0; the operator stopped the command
};

class QvdError : public std::runtime_error {
  public:
    QvdError(QvdErrorKind Kind, uint32_t Code, const std::string& What);
    QvdErrorKind Kind() const { return kind_; }
    uint32_t Code() const { return code_; }

  private:
    QvdErrorKind kind_;
    uint32_t code_;
};

// "QVD_RESULT_FREEZE_FAILED" and "the volume did not become quiet in time";
// an unknown code gives "QVD_RESULT_<n>", and a negative one (a status the
// driver passed on) "NTSTATUS 0x...".
std::string QvdResultName(uint32_t Result);
const char* QvdResultMessage(uint32_t Result);
// "ERROR_ACCESS_DENIED (5)" for the errors an agent meets, else "error <n>".
std::string Win32ErrorName(DWORD Error);
// "low space, out of space, broken" for ReportProgress Status bits.
std::string QvdStatusText(uint32_t Status);

// Throws a QvdError of kind Win32 with GetLastError(), naming Operation.
[[noreturn]] void ThrowLastError(const std::string& Operation);
// Throws a QvdError of kind Driver when Result is not QVD_RESULT_SUCCESS.
void CheckResult(const char* Operation, uint32_t Result);
