// Interlocked operations: the documented return values.
#include "ntddk.h"

#include <gtest/gtest.h>

namespace {

TEST(InterlockedOperations, ReturnTheDocumentedValue) {
    LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6) << "Increment returns the new value";
    EXPECT_EQ(InterlockedDecrement(&value), 5) << "Decrement returns the new value";
    EXPECT_EQ(InterlockedExchange(&value, 9), 5) << "Exchange returns the former value";
    EXPECT_EQ(value, 9);
    int a = 0, b = 0;
    PVOID pointer = &a;
    EXPECT_EQ(InterlockedExchangePointer(&pointer, &b), &a);
    EXPECT_EQ(pointer, &b);
    EXPECT_EQ(ReadPointerAcquire(&pointer), &b);
    EXPECT_EQ(ReadAcquire(&value), 9);
}

} // namespace
