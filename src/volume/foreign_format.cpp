#include "volume/foreign_format.h"

#include "format/big_endian.h"
#include "format/sector.h"
#include "format/svm_mddb.h"

#include <array>
#include <vector>

namespace trevik {
namespace {

constexpr uint64_t kUfs1SuperblockByte = 8192;
constexpr uint64_t kUfs2SuperblockByte = 65536;
constexpr uint64_t kUfs2PiggyByte = 262144;
constexpr uint64_t kUfsMagicAt = 1372; // fs_magic, within the superblock
constexpr uint32_t kUfs1Magic = 0x00011954;
constexpr uint32_t kUfs2Magic = 0x19540119;
constexpr uint64_t kExtMagicByte = 1024 + 56;
constexpr uint64_t kZfsUberblockByte = 128 * 1024; // in the first vdev label
constexpr uint64_t kZfsMagic = 0x00bab10c;

// The sector holding `byte`, read whole; empty when it cannot be read.
std::vector<uint8_t> SectorAt(SectorReader& reader, uint64_t byte) {
    std::vector<uint8_t> s(kSectorSize);
    if (byte / kSectorSize >= reader.TotalSectors() || !reader.Read(byte / kSectorSize, s).Whole())
        return {};
    return s;
}

bool MagicAt(SectorReader& reader, uint64_t byte, uint32_t magic, bool bigEndian) {
    const auto s = SectorAt(reader, byte);
    if (s.empty())
        return false;
    const size_t at = byte % kSectorSize;
    return (bigEndian ? ReadBe32(s, at) : ReadLe32(s, at)) == magic;
}

} // namespace

ForeignFormat IdentifyForeignFileSystem(SectorReader& reader, uint64_t startSector) {
    const uint64_t base = startSector * kSectorSize;
    if (const auto s = SectorAt(reader, base + svm::kMasterBlockSector * kSectorSize);
        !s.empty() && svm::DecodeMasterBlock(s))
        return ForeignFormat::SvmReplica;
    if (MagicAt(reader, base + kUfs1SuperblockByte + kUfsMagicAt, kUfs1Magic, false))
        return ForeignFormat::UfsLittleEndian;
    // UFS2 superblocks stand where BSD looks for them: 64 KiB, 8 KiB, 256 KiB.
    for (const uint64_t at : {kUfs2SuperblockByte, kUfs1SuperblockByte, kUfs2PiggyByte}) {
        if (MagicAt(reader, base + at + kUfsMagicAt, kUfs2Magic, false))
            return ForeignFormat::Ufs2LittleEndian;
        if (MagicAt(reader, base + at + kUfsMagicAt, kUfs2Magic, true))
            return ForeignFormat::Ufs2BigEndian;
    }
    if (const auto s = SectorAt(reader, base + kExtMagicByte);
        !s.empty() && s[kExtMagicByte % kSectorSize] == 0x53 &&
        s[kExtMagicByte % kSectorSize + 1] == 0xEF)
        return ForeignFormat::Ext;
    if (const auto s = SectorAt(reader, base + kZfsUberblockByte); !s.empty()) {
        // The magic is a 64-bit word in the writer's byte order.
        uint64_t le = 0, be = 0;
        for (size_t i = 0; i < 8; ++i) {
            le |= uint64_t{s[i]} << (8 * i);
            be = be << 8 | s[i];
        }
        if (le == kZfsMagic || be == kZfsMagic)
            return ForeignFormat::Zfs;
    }
    return ForeignFormat::None;
}

ForeignFormat IdentifyForeignFormat(SectorReader& reader) {
    if (const ForeignFormat fs = IdentifyForeignFileSystem(reader, 0); fs != ForeignFormat::None)
        return fs;
    if (const auto s = SectorAt(reader, kSectorSize);
        !s.empty() && std::string_view(reinterpret_cast<const char*>(s.data()), 8) == "EFI PART")
        return ForeignFormat::EfiLabel;
    if (const auto s = SectorAt(reader, 0); !s.empty() && s[510] == 0x55 && s[511] == 0xAA)
        return ForeignFormat::PcPartitionTable;
    return ForeignFormat::None;
}

} // namespace trevik
