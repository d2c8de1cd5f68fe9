// demo/file_pattern.cpp - the demo writers' self-describing file contents.
#include "file_pattern.h"

#include <cstring>

namespace {

void UnitOf(const FilePatternId& Id, uint64_t UnitIndex, uint8_t Unit[FILE_PATTERN_UNIT]) {
    const uint32_t magic = FILE_PATTERN_MAGIC;
    const uint32_t tag = (Id.Writer << 24) | ((Id.Slot & 0xFF) << 16) | (Id.Generation & 0xFFFF);
    const uint64_t offset = UnitIndex * FILE_PATTERN_UNIT;
    std::memcpy(Unit, &magic, 4);
    std::memcpy(Unit + 4, &tag, 4);
    std::memcpy(Unit + 8, &offset, 8);
}

} // namespace

uint32_t FilePatternSize(const FilePatternId& Id) {
    const uint32_t spread =
        (Id.Writer * 7919u + Id.Slot * 104729u + Id.Generation * 7717u) % (448u * 1024u);
    const uint32_t size = 64u * 1024u + spread;
    return size % 512u == 0 ? size + 37u : size;
}

void FilePatternFill(const FilePatternId& Id, uint64_t Offset, uint8_t* Buffer, size_t Length) {
    uint8_t unit[FILE_PATTERN_UNIT];
    size_t done = 0;
    while (done < Length) {
        const uint64_t at = Offset + done;
        UnitOf(Id, at / FILE_PATTERN_UNIT, unit);
        const size_t within = static_cast<size_t>(at % FILE_PATTERN_UNIT);
        size_t take = FILE_PATTERN_UNIT - within;
        take = take < Length - done ? take : Length - done;
        std::memcpy(Buffer + done, unit + within, take);
        done += take;
    }
}

size_t FilePatternCheck(const FilePatternId& Id, const uint8_t* Data, size_t Length) {
    uint8_t unit[FILE_PATTERN_UNIT];
    for (size_t at = 0; at < Length; at += FILE_PATTERN_UNIT) {
        UnitOf(Id, at / FILE_PATTERN_UNIT, unit);
        const size_t take = Length - at < FILE_PATTERN_UNIT ? Length - at : FILE_PATTERN_UNIT;
        for (size_t i = 0; i < take; i++) {
            if (Data[at + i] != unit[i]) {
                return at + i;
            }
        }
    }
    return Length;
}
