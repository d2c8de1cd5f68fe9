// ex/pooltags.cpp - per-tag accounting of live pool blocks and the leak check.
//
// Host-side bookkeeping behind the pool; callable at any IRQL.
#include "ntos/ex/exp.h"
#include "ntos/verifier/bugcheck.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace {

// DRIVER_VERIFIER_DETECTED_VIOLATION parameter 1 for pool left allocated.
constexpr ULONG_PTR kPoolLeaked = 0x60;

struct ExpTagTable {
    std::mutex Lock;
    std::map<ULONG, ExpPoolTagUsage> Tags; // guarded by Lock; entries with no live block are erased
};

ExpTagTable& Table() {
    static ExpTagTable* table = new ExpTagTable; // outlives static destruction, like the pool
    return *table;
}

bool IsEmpty(const ExpPoolTagUsage& u) {
    return u.NonPagedBlocks == 0 && u.PagedBlocks == 0;
}

} // namespace

void ExpChargePoolTag(ULONG Tag, POOL_TYPE BaseType, SIZE_T Bytes) {
    ExpTagTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    ExpPoolTagUsage& u =
        table.Tags.try_emplace(Tag, ExpPoolTagUsage{Tag, 0, 0, 0, 0}).first->second;
    if (BaseType == PagedPool) {
        ++u.PagedBlocks;
        u.PagedBytes += Bytes;
    } else {
        ++u.NonPagedBlocks;
        u.NonPagedBytes += Bytes;
    }
}

void ExpReturnPoolTag(ULONG Tag, POOL_TYPE BaseType, SIZE_T Bytes) {
    ExpTagTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto it = table.Tags.find(Tag);
    ExpPoolTagUsage& u = it->second;
    if (BaseType == PagedPool) {
        --u.PagedBlocks;
        u.PagedBytes -= Bytes;
    } else {
        --u.NonPagedBlocks;
        u.NonPagedBytes -= Bytes;
    }
    if (IsEmpty(u)) {
        table.Tags.erase(it);
    }
}

ExpPoolTagUsage ExpQueryPoolTag(ULONG Tag) {
    ExpTagTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto it = table.Tags.find(Tag);
    return it == table.Tags.end() ? ExpPoolTagUsage{Tag, 0, 0, 0, 0} : it->second;
}

std::vector<ExpPoolTagUsage> ExpListPoolTags() {
    ExpTagTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    std::vector<ExpPoolTagUsage> live;
    for (const auto& [tag, usage] : table.Tags) {
        live.push_back(usage);
    }
    return live;
}

std::string ExpFormatPoolTag(ULONG Tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((Tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

void ExpVerifyNoPoolLeaks(ULONG Tag, ULONG Mask) {
    std::vector<ExpPoolTagUsage> leaked;
    for (const ExpPoolTagUsage& u : ExpListPoolTags()) {
        if ((u.Tag & Mask) == (Tag & Mask)) {
            leaked.push_back(u);
        }
    }
    if (leaked.empty()) {
        return;
    }
    for (const ExpPoolTagUsage& u : leaked) {
        std::fprintf(stderr,
                     "*** pool leaked: tag '%s' (0x%08X): nonpaged %u blocks %zu bytes, "
                     "paged %u blocks %zu bytes\n",
                     ExpFormatPoolTag(u.Tag).c_str(), u.Tag, u.NonPagedBlocks,
                     static_cast<size_t>(u.NonPagedBytes), u.PagedBlocks,
                     static_cast<size_t>(u.PagedBytes));
    }
    const ExpPoolTagUsage& first = leaked.front();
    ULONG blocks = first.NonPagedBlocks + first.PagedBlocks;
    SIZE_T bytes = first.NonPagedBytes + first.PagedBytes;
    char rule[160];
    std::snprintf(rule, sizeof rule, "pool leaked: tag '%s' holds %u blocks (%zu bytes)",
                  ExpFormatPoolTag(first.Tag).c_str(), blocks, static_cast<size_t>(bytes));
    VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, rule, VF_CALLER(), kPoolLeaked, first.Tag,
               blocks, bytes);
}
