// integrity_checker_test.cpp - the integrity torture's sector checker must
// catch each way a frozen image can be wrong; a checker that passes
// everything would make the torture's zero worthless.
#include "support/sector_pattern.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct Corruption {
    const char* Name;
    void (*Apply)(std::vector<unsigned char>& Sector, size_t Size);
    SectorVerdict Expected;
};

TEST(IntegrityCheckerTest, EachCorruptionIsNamed) {
    const uint64_t index = 77, freeze = 1000;
    const Corruption corruptions[] = {
        {"intact", [](std::vector<unsigned char>&, size_t) {}, SectorVerdict::Good},
        {"torn: the second half of a later write",
         [](std::vector<unsigned char>& s, size_t size) {
             std::vector<unsigned char> later(size);
             MakeSector(later.data(), size, 77, 1001);
             std::memcpy(s.data() + size / 2, later.data() + size / 2, size / 2);
         },
         SectorVerdict::Torn},
        {"torn: one byte", [](std::vector<unsigned char>& s, size_t size) { s[size - 1] ^= 1; },
         SectorVerdict::Torn},
        {"torn: zeroes", [](std::vector<unsigned char>& s, size_t) { s.assign(s.size(), 0); },
         SectorVerdict::Torn},
        {"misplaced: the neighbour's sector",
         [](std::vector<unsigned char>& s, size_t size) { MakeSector(s.data(), size, 78, 5); },
         SectorVerdict::Misplaced},
        {"written after the freeze",
         [](std::vector<unsigned char>& s, size_t size) { MakeSector(s.data(), size, 77, 1000); },
         SectorVerdict::PostFreeze},
    };
    for (size_t size : {512u, 4096u}) {
        for (const Corruption& corruption : corruptions) {
            std::vector<unsigned char> sector(size);
            MakeSector(sector.data(), size, index, 999);
            corruption.Apply(sector, size);
            EXPECT_EQ(CheckSector(sector.data(), size, index, freeze), corruption.Expected)
                << corruption.Name << ", " << size << "-byte sector: got "
                << SectorVerdictName(CheckSector(sector.data(), size, index, freeze));
        }
    }
}

} // namespace
