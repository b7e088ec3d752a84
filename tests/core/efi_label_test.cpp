#include "format/efi_label.h"

#include <cstring>
#include <gtest/gtest.h>

namespace trevik {
namespace {

void Le32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Le64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    Le32(b, at, static_cast<uint32_t>(v));
    Le32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

Guid GuidOf(uint32_t first) {
    Guid g{0, 0, 0, 0, 0xD2, 0x1D, 0xB2, 0x11, 0x99, 0xA6, 0x08, 0x00, 0x20, 0x73, 0x66, 0x31};
    for (int i = 0; i < 4; ++i)
        g[i] = static_cast<uint8_t>(first >> (8 * i));
    return g;
}

// A label of 4 entries of 128 bytes: header sector and array, CRCs made right.
struct Label {
    std::vector<uint8_t> header = std::vector<uint8_t>(512, 0);
    std::vector<uint8_t> array = std::vector<uint8_t>(512, 0);

    void Entry(size_t i, const Guid& type, uint64_t first, uint64_t last, const char* name) {
        std::memcpy(array.data() + i * 128, type.data(), 16);
        Le64(array, i * 128 + 32, first);
        Le64(array, i * 128 + 40, last);
        for (size_t k = 0; name[k] != 0; ++k)
            array[i * 128 + 56 + 2 * k] = static_cast<uint8_t>(name[k]);
    }
    void Seal() {
        std::memcpy(header.data(), "EFI PART", 8);
        Le32(header, 8, 0x00010000);
        Le32(header, 12, 92);
        Le64(header, 24, 1);
        Le64(header, 32, 9999);
        Le64(header, 40, 34);
        Le64(header, 48, 9966);
        Le64(header, 72, 2);
        Le32(header, 80, 4);
        Le32(header, 84, 128);
        Le32(header, 88, Crc32(array));
        Le32(header, 16, 0);
        Le32(header, 16, Crc32(std::span(header).first(92)));
    }
};

TEST(EfiLabel, Crc32GivesTheStandardCheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(Crc32({reinterpret_cast<const uint8_t*>(text), 9}), 0xCBF43926u);
}

TEST(EfiLabel, DecodesEntriesInOrderWithTheirSolarisTags) {
    Label l;
    l.Entry(0, GuidOf(0x6A85CF4D), 256, 1000, "root");
    l.Entry(2, GuidOf(0x6A945A3B), 9000, 9966, "");
    l.Seal();
    const auto h = DecodeEfiHeader(l.header);
    ASSERT_TRUE(h.ok()) << h.error();
    EXPECT_EQ(h->entriesLba, 2u);
    EXPECT_EQ(EntryArraySectors(*h), 1u);
    const auto parts = DecodeEfiEntries(*h, l.array);
    ASSERT_TRUE(parts.ok()) << parts.error();
    ASSERT_EQ(parts->size(), 2u); // the unused entry between them is passed over
    EXPECT_EQ((*parts)[0].index, 0u);
    EXPECT_EQ((*parts)[0].name, "root");
    EXPECT_EQ((*parts)[0].lastLba, 1000u);
    EXPECT_EQ((*parts)[1].index, 2u);
    EXPECT_EQ(GuidText((*parts)[0].type), "6A85CF4D-1DD2-11B2-99A6-080020736631");
    EXPECT_EQ(SolarisTagOfType((*parts)[0].type), 2);
    EXPECT_EQ(SolarisTagOfType((*parts)[1].type), 11);
}

TEST(EfiLabel, TypeGuidsTranslateToTheTagsLibefiGives) {
    const struct {
        uint32_t first;
        uint16_t tag;
    } rows[] = {{0x6A82CB45, 1},  {0x6A85CF4D, 2},  {0x6A87C46F, 3}, {0x6A898CC3, 4},
                {0x6A8B642B, 5},  {0x6A8EF2E9, 7},  {0x6A90BA39, 8}, {0x6A9283A5, 9},
                {0x6A945A3B, 11}, {0x6A96237F, 11}, {0x12345678, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.first);
        EXPECT_EQ(SolarisTagOfType(GuidOf(r.first)), r.tag);
    }
    Guid linux{0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
               0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
    EXPECT_EQ(GuidText(linux), "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
    EXPECT_EQ(SolarisTagOfType(linux), 0);
}

TEST(EfiLabel, EachDamageIsRefusedWithItsReason) {
    Label sound;
    sound.Entry(0, GuidOf(0x6A85CF4D), 256, 1000, "root");
    sound.Seal();
    struct Row {
        const char* why;
        size_t at;
        uint8_t value;
        bool inArray;
    };
    const Row rows[] = {{"no \"EFI PART\" signature", 0, 'X', false},
                        {"the header's CRC-32 is wrong", 40, 0x55, false},
                        {"the partition entries' CRC-32 is wrong", 40, 0x55, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        Label l = sound;
        (r.inArray ? l.array : l.header)[r.at] ^= r.value;
        const auto h = DecodeEfiHeader(l.header);
        const std::string error = h ? DecodeEfiEntries(*h, l.array).error() : h.error();
        EXPECT_EQ(error, r.why);
    }
    // Sizes that would make the array absurd, with their CRC made right.
    for (const auto& [count, size] :
         std::vector<std::pair<uint32_t, uint32_t>>{{0, 128}, {100000, 128}, {4, 100}, {4, 0}}) {
        Label l = sound;
        l.Seal();
        Le32(l.header, 80, count);
        Le32(l.header, 84, size);
        Le32(l.header, 16, 0);
        Le32(l.header, 16, Crc32(std::span(l.header).first(92)));
        EXPECT_FALSE(DecodeEfiHeader(l.header).ok()) << count << " x " << size;
    }
    Label inverted;
    inverted.Entry(0, GuidOf(0x6A85CF4D), 1000, 256, "root");
    inverted.Seal();
    EXPECT_FALSE(DecodeEfiEntries(*DecodeEfiHeader(inverted.header), inverted.array).ok());
}

} // namespace
} // namespace trevik
