#include "volume/disk_label.h"

#include "format/big_endian.h"
#include "format/efi_label.h"
#include "format/superblock_check.h"
#include "format/ufs_format.h"
#include "format/volume_geometry.h"

#include <vector>

namespace trevik {
namespace {

bool HasUfsMagic(SectorReader& reader, const PartitionEntry& e) {
    std::vector<uint8_t> s(kSectorSize, 0);
    const uint64_t magicSector = e.superblockSector + 2;
    return magicSector < reader.TotalSectors() && reader.Read(magicSector, s).Whole() &&
           HasMagicInThirdSector(s);
}

// What an entry holds: whether its superblock shows a UFS magic, and, where it does not,
// another system's file system.
void AppendEntry(SectorReader& reader, VolumeTable& table, PartitionEntry e) {
    e.superblockSector = e.startSector + ufs::kSuperblockSector;
    if (e.label != LabelKind::Efi || TagHoldsFileSystem(e.tag)) {
        e.ufsMagic = HasUfsMagic(reader, e);
        if (!e.ufsMagic)
            e.content = IdentifyForeignFileSystem(reader, e.startSector);
    }
    table.Append(std::move(e));
}

bool ReadVtoc(SectorReader& reader, VolumeTable& table) {
    std::vector<uint8_t> sector(kSectorSize, 0);
    if (!reader.Read(0, sector).Whole()) {
        return false;
    }
    const auto parsed = ParseSparcLabel(sector);
    if (!parsed) {
        return false;
    }
    for (const LabelSlice& s : parsed->slices) {
        // Boot disks keep their root slice at cylinder 0, so a zero start is listed; only
        // empty slices and the whole-disk backup slice are passed over.
        if (s.lengthSectors == 0 || s.tag == tag::kBackup) {
            continue;
        }
        PartitionEntry e;
        e.startSector = SliceStartSector(*parsed, s);
        e.sizeSectors = s.lengthSectors;
        e.label = LabelKind::Vtoc;
        e.tag = s.tag;
        e.slice = s.index;
        AppendEntry(reader, table, std::move(e));
    }
    return true;
}

bool HasEfiSignature(std::span<const uint8_t> sector) {
    return std::string_view(reinterpret_cast<const char*>(sector.data()), 8) == "EFI PART";
}

// One copy of the EFI label: its header sector (read from `headerSector`) and the entries
// it points to.
Result<std::vector<EfiPartition>> ReadEfiCopy(SectorReader& reader, uint64_t headerSector,
                                              std::span<const uint8_t> sector) {
    auto header = DecodeEfiHeader(sector);
    if (!header)
        return Error{header.error()};
    if (header->myLba != headerSector)
        return Error{"its header says it stands in sector " + std::to_string(header->myLba)};
    const uint64_t count = EntryArraySectors(*header);
    if (header->entriesLba >= reader.TotalSectors() ||
        count > reader.TotalSectors() - header->entriesLba)
        return Error{"its partition entries lie past the end of the disk"};
    std::vector<uint8_t> array(count * kSectorSize, 0);
    if (!reader.Read(header->entriesLba, array).Whole())
        return Error{"its partition entries cannot be read"};
    return DecodeEfiEntries(*header, array);
}

// The header sector at `at`; empty when it cannot be read.
std::vector<uint8_t> HeaderSector(SectorReader& reader, uint64_t at) {
    std::vector<uint8_t> s(kSectorSize, 0);
    if (at >= reader.TotalSectors() || !reader.Read(at, s).Whole())
        return {};
    return s;
}

void ReadEfi(SectorReader& reader, VolumeTable& table, LabelReport& report) {
    const uint64_t last = reader.TotalSectors() - 1;
    const std::vector<uint8_t> primary = HeaderSector(reader, efi::kPrimaryHeaderSector);
    Result<std::vector<EfiPartition>> parts = Error{"its header sector cannot be read"};
    if (!primary.empty())
        parts = ReadEfiCopy(reader, efi::kPrimaryHeaderSector, primary);
    if (!parts) {
        // Only a disk that shows a trace of an EFI label has a damaged one: its signature in
        // either place. (A protective MBR alone is no label.)
        const std::vector<uint8_t> backup =
            last > efi::kPrimaryHeaderSector ? HeaderSector(reader, last) : std::vector<uint8_t>{};
        const bool primarySigned = !primary.empty() && HasEfiSignature(primary);
        const bool backupSigned = !backup.empty() && HasEfiSignature(backup);
        if (!primarySigned && !backupSigned)
            return;
        report.kind = LabelKind::Efi;
        report.primaryDamage = parts.error();
        parts = backup.empty()
                    ? Result<std::vector<EfiPartition>>(Error{"its header sector cannot be read"})
                    : ReadEfiCopy(reader, last, backup);
        if (!parts) {
            report.backupDamage = parts.error();
            return;
        }
        report.usedBackup = true;
    }
    report.kind = LabelKind::Efi;
    for (const EfiPartition& p : *parts) {
        if (table.Full()) {
            ++report.notListed;
            continue;
        }
        PartitionEntry e;
        e.startSector = p.firstLba;
        e.sizeSectors = p.lastLba - p.firstLba + 1;
        e.label = LabelKind::Efi;
        e.slice = static_cast<int>(p.index);
        e.tag = SolarisTagOfType(p.type);
        e.typeGuid = GuidText(p.type);
        AppendEntry(reader, table, std::move(e));
    }
}

} // namespace

size_t ReadDiskLabel(SectorReader& reader, VolumeTable& table, LabelReport* report) {
    table.Clear();
    LabelReport local;
    LabelReport& r = report != nullptr ? *report : local;
    r = {};
    if (reader.TotalSectors() == 0)
        return 0;
    if (ReadVtoc(reader, table)) {
        r.kind = LabelKind::Vtoc;
        return table.Count();
    }
    ReadEfi(reader, table, r);
    return table.Count();
}

std::optional<devid::DeviceId> ReadStoredDeviceId(SectorReader& reader, const VolumeTable& table) {
    std::vector<uint8_t> sector(kSectorSize, 0);
    std::optional<uint64_t> at;
    if (reader.Read(0, sector).Whole())
        if (const auto label = ParseSparcLabel(sector))
            at = DeviceIdSector(*label);
    if (!at)
        for (const PartitionEntry& e : table.Entries())
            if (e.label == LabelKind::Efi && e.tag == tag::kReserved)
                at = e.startSector;
    if (!at || *at >= reader.TotalSectors() || !reader.Read(*at, sector).Whole())
        return std::nullopt;
    return devid::DecodeStoredDeviceId(sector);
}

size_t ReadMetadeviceVolume(SectorReader& reader, VolumeTable& table) {
    table.Clear();
    std::vector<uint8_t> sb(ufs::kSuperblockReadSectors * kSectorSize, 0);
    if (reader.TotalSectors() <= ufs::kSuperblockSector + ufs::kSuperblockReadSectors ||
        !reader.Read(ufs::kSuperblockSector, sb).Whole() || !DecodeSuperblock(sb))
        return 0;
    PartitionEntry e = FirstVolumeAt(0, reader.TotalSectors());
    e.label = LabelKind::Metadevice;
    table.Append(std::move(e));
    return table.Count();
}

bool HoldsUfs(const PartitionEntry& e) {
    if (e.label == LabelKind::Efi && !TagHoldsFileSystem(e.tag))
        return false;
    // A VTOC slice tagged swap (or boot, alternates, ...) is mounted only when it shows a
    // UFS superblock after all: every slice that mounted before still does.
    if (e.label == LabelKind::Vtoc && !TagHoldsFileSystem(e.tag) && !e.ufsMagic)
        return false;
    return e.content == ForeignFormat::None;
}

} // namespace trevik
