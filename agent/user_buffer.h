// user_buffer.h - memory of the agent's own process, whose address fits the
// 32-bit pointer fields of the driver's records.
#pragma once

#include "windows.h"

#include <cstddef>
#include <cstdint>
#include <string>

class UserBuffer {
  public:
    explicit UserBuffer(size_t Bytes); // committed and zeroed; throws QvdError
    ~UserBuffer();
    UserBuffer(const UserBuffer&) = delete;
    UserBuffer& operator=(const UserBuffer&) = delete;

    uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    // The address as a record's 32-bit pointer field holds it.
    uint32_t Address() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data_)); }

  private:
    uint8_t* data_;
    size_t size_;
};

// A terminated copy of Text in user memory, for a record's string pointer.
class UserString : public UserBuffer {
  public:
    explicit UserString(const std::u16string& Text);
};
