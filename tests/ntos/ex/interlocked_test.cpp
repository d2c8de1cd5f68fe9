// Interlocked operations and spin-lock guarded lists: documented return
// values, no lost update under contention, and use at any IRQL.
#include "ntos/ke/ke_test_util.h"
#include "ntddk.h"
#include "ntos/kernel_fixture.h"

#include <memory>
#include <vector>

namespace {

class InterlockedTest : public KernelTest {};

TEST(InterlockedOperations, ReturnTheDocumentedValue) {
    LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6) << "Increment returns the new value";
    EXPECT_EQ(InterlockedDecrement(&value), 5) << "Decrement returns the new value";
    EXPECT_EQ(InterlockedExchange(&value, 9), 5) << "Exchange returns the former value";
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9) << "ExchangeAdd returns the former value";
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12) << "no match: unchanged";
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12) << "match: swapped";
    EXPECT_EQ(value, 1);
    EXPECT_EQ(InterlockedOr(&value, 6), 1);
    EXPECT_EQ(InterlockedAnd(&value, 3), 7);
    EXPECT_EQ(InterlockedXor(&value, 1), 3);
    EXPECT_EQ(value, 2);

    LONGLONG wide = 1LL << 40;
    EXPECT_EQ(InterlockedCompareExchange64(&wide, 7, 1LL << 40), 1LL << 40);
    EXPECT_EQ(wide, 7);
    int a = 0, b = 0;
    PVOID pointer = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &b, nullptr), &a) << "no match";
    EXPECT_EQ(InterlockedExchangePointer(&pointer, &b), &a);
    EXPECT_EQ(pointer, &b);
    EXPECT_EQ(ReadPointerAcquire(&pointer), &b);
    EXPECT_EQ(ReadAcquire(&value), 2);
}

// The routines work at any IRQL and leave it alone.
TEST_F(InterlockedTest, ListRoutinesReturnTheFormerEndOrNullAtAnyIrql) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head;
    InitializeListHead(&head);
    LIST_ENTRY entries[3];
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &entries[0], &lock), nullptr) << "was empty";
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &entries[1], &lock), &entries[0]) << "former last";
    EXPECT_EQ(ExInterlockedInsertHeadList(&head, &entries[2], &lock), &entries[0])
        << "former first";
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &entries[2]);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &entries[0]);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &entries[1]);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr) << "empty";
    EXPECT_EQ(lock, 0u) << "the lock is free again";

    SINGLE_LIST_ENTRY stack{nullptr};
    SINGLE_LIST_ENTRY items[2];
    EXPECT_EQ(ExInterlockedPushEntryList(&stack, &items[0], &lock), nullptr);
    EXPECT_EQ(ExInterlockedPushEntryList(&stack, &items[1], &lock), &items[0]) << "former top";
    EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), &items[1]);
    EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), &items[0]);
    EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), nullptr);

    ULONG counter = 0xFFFFFFFEu;
    EXPECT_EQ(ExInterlockedAddUlong(&counter, 3, &lock), 0xFFFFFFFEu);
    EXPECT_EQ(counter, 1u) << "wraps as ULONG arithmetic does";
    LARGE_INTEGER total;
    total.QuadPart = 1LL << 32;
    LARGE_INTEGER step;
    step.QuadPart = 5;
    EXPECT_EQ(ExInterlockedAddLargeInteger(&total, step, &lock).QuadPart, 1LL << 32);
    EXPECT_EQ(total.QuadPart, (1LL << 32) + 5);
    EXPECT_EQ(KeGetCurrentIrql(), HIGH_LEVEL);
    KeLowerIrql(old);
}

// Producers on several threads push entries while consumers take them off;
// every entry arrives once and counters lose nothing.
TEST_F(InterlockedTest, ConcurrentUseLosesNothing) {
    constexpr int Threads = 4;
    constexpr int PerThread = 2000;
    std::vector<LIST_ENTRY> items(Threads * PerThread);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head;
    InitializeListHead(&head);
    LONG counter = 0;
    LONG taken = 0;
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.push_back(std::make_unique<TestThread>([&, t] {
                for (int i = 0; i < PerThread; ++i) {
                    ExInterlockedInsertTailList(&head, &items[t * PerThread + i], &lock);
                    InterlockedIncrement(&counter);
                    if (ExInterlockedRemoveHeadList(&head, &lock) != nullptr) {
                        InterlockedExchangeAdd(&taken, 1);
                    }
                }
            }));
        }
    }
    while (ExInterlockedRemoveHeadList(&head, &lock) != nullptr) {
        ++taken;
    }
    EXPECT_EQ(counter, Threads * PerThread);
    EXPECT_EQ(taken, Threads * PerThread) << "every entry taken off exactly once";
}

} // namespace
