#include "ufs/mount.h"

#include "ufs/big_endian.h"
#include "ufs/directory.h"
#include "ufs/inode.h"
#include "ufs/ufs_format.h"
#include "volume/superblock_scan.h"

#include <algorithm>

namespace trevik {
namespace {

constexpr uint32_t kSuperblockReadSectors = 3; // the magic lies in the third sector

bool HasMagicAt(SectorReader& reader, uint64_t sector) {
    std::vector<uint8_t> buf(kSuperblockReadSectors * 512, 0);
    reader.Read(sector, kSuperblockReadSectors, buf.data());
    return ReadBe32(buf, ufs::kMagicOffset) == ufs::kMagic;
}

SuperblockDecode ReadSuperblock(SectorReader& reader, uint64_t sector) {
    std::vector<uint8_t> buf(kSuperblockReadSectors * 512, 0);
    uint32_t bad = 0;
    reader.Read(sector, kSuperblockReadSectors, buf.data(), &bad);
    if (bad != 0) {
        SuperblockDecode d;
        d.problem = "unreadable sectors";
        return d;
    }
    return DecodeSuperblock(buf);
}

// A usable copy of the damaged volume's superblock: group 0's copy where Solaris puts it,
// else group 1's, found the way the scan finds volumes and confirmed to belong to this
// volume's start.
std::optional<uint64_t> FindBackupSuperblock(SectorReader& reader, const PartitionEntry& e,
                                             uint64_t skip, std::atomic<bool>& stop) {
    const uint64_t start = e.startSector;
    const uint64_t group0Copy = start + 2 * ufs::kSuperblockSector;
    if (group0Copy != skip && ReadSuperblock(reader, group0Copy).geometry) {
        return group0Copy;
    }
    const uint64_t end =
        std::min<uint64_t>(start + std::max<uint64_t>(e.sizeSectors, 64), reader.TotalSectors());
    constexpr uint32_t kRun = 64;
    std::vector<uint8_t> run(kRun * 512);
    for (uint64_t cur = start; cur < end && !stop.load(); cur += kRun) {
        std::fill(run.begin(), run.end(), 0);
        reader.Read(cur, kRun, run.data());
        for (uint32_t i = 0; i < kRun; ++i) {
            if (ReadBe32(run, i * 512 + 348) != ufs::kMagic)
                continue;
            const auto hit = ConfirmSuperblock(reader, cur + i);
            if (hit && hit->startSector == start && hit->superblockSector != skip &&
                ReadSuperblock(reader, hit->superblockSector).geometry) {
                return hit->superblockSector;
            }
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<uint64_t> FindSuperblockCopy(SectorReader& reader, uint64_t estimate,
                                           uint64_t previous) {
    const uint64_t floor = previous + 64;
    for (const uint64_t step : {uint64_t{512}, uint64_t{32}}) {
        for (uint64_t s = estimate; s > floor; s -= std::min(step, s)) {
            if (HasMagicAt(reader, s)) {
                return s;
            }
            if (s < step)
                break;
        }
    }
    return std::nullopt;
}

MountResult MountVolume(SectorReader& reader, const PartitionEntry& entry, RecoveryMode mode,
                        std::atomic<bool>& stopRequested, MountObserver* observer,
                        MountedVolume& volume) {
    MountResult result;
    auto status = [&](const char* text) {
        if (observer != nullptr)
            observer->OnStatusText(text);
    };
    auto progress = [&](uint32_t p) {
        if (observer != nullptr)
            observer->OnProgress(p);
    };
    progress(0);

    // The superblock, or a usable copy of it; a volume without one is refused untouched.
    uint64_t used = entry.superblockSector;
    SuperblockDecode sb = ReadSuperblock(reader, used);
    if (!sb.geometry) {
        const auto backup = FindBackupSuperblock(reader, entry, used, stopRequested);
        if (!backup) {
            result.message = "Cannot mount " + entry.name + ": the superblock at sector " +
                             std::to_string(used) + " is not usable (" + sb.problem +
                             ") and no valid backup copy was found.";
            return result;
        }
        result.notes.push_back(
            "The superblock at sector " + std::to_string(used) + " is not usable (" + sb.problem +
            "); mounted from its backup copy at sector " + std::to_string(*backup) + ".");
        used = *backup;
        sb = ReadSuperblock(reader, used);
    }

    MountedVolume fresh;
    fresh.entry = entry;
    fresh.mode = mode;
    fresh.geometry = *sb.geometry;
    fresh.superblockUsed = used;
    VolumeGeometry& g = fresh.geometry;
    status(kCaptionSearching);

    // Groups that begin past the end of the disk cannot be read.
    const uint64_t start = entry.startSector;
    const uint64_t spf = g.sectorsPerFragment;
    const uint64_t total = reader.TotalSectors();
    const uint64_t groupSectors = uint64_t{g.fragsPerGroup} * spf;
    const uint64_t onDisk = total > start ? (total - start + groupSectors - 1) / groupSectors : 0;
    if (g.groupCount > onDisk) {
        result.notes.push_back(std::to_string(g.groupCount - onDisk) +
                               " cylinder groups lie past the end of the disk and are not read.");
        g.groupCount = static_cast<uint32_t>(std::max<uint64_t>(onDisk, 1));
        g.totalInodes = uint64_t{g.inodesPerGroup} * g.groupCount;
    }

    // The cylinder-group table: each group's superblock copy, searched backwards from its
    // estimate; where no copy is found, the file system's own rule places it.
    fresh.groupTable.push_back(start + ufs::kSuperblockSector);
    const uint64_t copyOffset = uint64_t{g.superblockOffset} * spf;
    for (uint32_t i = 1; i < g.groupCount; ++i) {
        const uint64_t prev = fresh.groupTable.back();
        const uint64_t estimate = i == 1 ? start + g.groupOffset * spf + groupSectors + copyOffset
                                         : prev + g.groupOffset * spf + groupSectors;
        const auto found = FindSuperblockCopy(reader, estimate, prev);
        fresh.groupTable.push_back(found
                                       ? *found
                                       : start + ufs::CgSblock(g.fragsPerGroup, g.groupOffset,
                                                               g.groupMask, g.superblockOffset, i) *
                                                     spf);
        progress(static_cast<uint32_t>(
            std::min<uint64_t>(99, uint64_t{i} * 100 / (g.groupCount + 1000))));
    }

    if (observer != nullptr) {
        observer->OnStopAvailable(true);
    }
    status(kCaptionMounting);
    stopRequested.store(false);
    fresh.tree.SetObserver(observer);
    InodeAccess access(reader, start, fresh.geometry, fresh.groupTable);
    DirectoryWalker walker(access, fresh.tree, mode, stopRequested, observer);
    if (mode == RecoveryMode::Normal) {
        walker.NormalWalk();
    } else {
        walker.ScanInodeTables();
        stopRequested.store(false);
        walker.ResolveFolderNames();
        stopRequested.store(false);
        walker.SearchLostData();
        walker.GatherUnreachable();
    }
    stopRequested.store(false);
    if (observer != nullptr) {
        observer->OnStopAvailable(false);
    }
    progress(0);
    status(kCaptionCreatingTree);
    fresh.tree.BuildChildIndex();
    fresh.tree.SetObserver(nullptr);
    fresh.mounted = true;
    volume = std::move(fresh);
    result.ok = true;
    return result;
}

} // namespace trevik
