// user_buffer.cpp - user memory for the driver's records and strings.
#include "user_buffer.h"
#include "memoryapi.h"
#include "qvd_error.h"

#include <cstring>

UserBuffer::UserBuffer(size_t Bytes) : size_(Bytes) {
    data_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, Bytes, MEM_COMMIT, PAGE_READWRITE));
    if (data_ == nullptr) {
        ThrowLastError("VirtualAlloc of " + std::to_string(Bytes) + " bytes");
    }
    std::memset(data_, 0, Bytes);
}

UserBuffer::~UserBuffer() {
    VirtualFree(data_, 0, MEM_RELEASE);
}

UserString::UserString(const std::u16string& Text) : UserBuffer((Text.size() + 1) * 2) {
    std::memcpy(Data(), Text.c_str(), (Text.size() + 1) * 2);
}
