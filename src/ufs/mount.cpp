#include "ufs/mount.h"

#include "format/superblock_check.h"
#include "ufs/directory.h"
#include "ufs/inode.h"
#include "volume/superblock_scan.h"

#include <algorithm>
#include <malloc.h>

namespace trevik {
namespace {

bool HasMagicAt(SectorReader& reader, uint64_t sector) {
    std::vector<uint8_t> buf(ufs::kSuperblockReadSectors * kSectorSize);
    reader.Read(sector, buf);
    return HasMagicInThirdSector(std::span(buf).subspan(2 * kSectorSize));
}

Result<VolumeGeometry> ReadSuperblock(SectorReader& reader, uint64_t sector) {
    std::vector<uint8_t> buf(ufs::kSuperblockReadSectors * kSectorSize);
    if (!reader.Read(sector, buf).Whole()) {
        return Error{"unreadable sectors"};
    }
    return DecodeSuperblock(buf);
}

// A usable copy of the damaged volume's superblock: group 0's copy where Solaris puts it,
// else group 1's, found the way the scan finds volumes and confirmed to belong to this
// volume's start.
std::optional<uint64_t> FindBackupSuperblock(SectorReader& reader, const PartitionEntry& e,
                                             uint64_t skip, std::atomic<bool>& stop) {
    const uint64_t start = e.startSector;
    const uint64_t group0Copy = ufs::GroupZeroCopySector(start);
    if (group0Copy != skip && ReadSuperblock(reader, group0Copy)) {
        return group0Copy;
    }
    const uint64_t end =
        std::min<uint64_t>(start + std::max<uint64_t>(e.sizeSectors, 64), reader.TotalSectors());
    constexpr uint32_t kRun = 64;
    std::vector<uint8_t> run(kRun * kSectorSize);
    for (uint64_t cur = start; cur < end && !stop.load(); cur += kRun) {
        reader.Read(cur, run);
        for (uint32_t i = 0; i < kRun; ++i) {
            if (!HasMagicInThirdSector(
                    std::span(run).subspan(size_t{i} * kSectorSize, kSectorSize)))
                continue;
            const auto hit = ConfirmSuperblock(reader, cur + i);
            if (hit && hit->startSector == start && hit->superblockSector != skip &&
                ReadSuperblock(reader, hit->superblockSector)) {
                return hit->superblockSector;
            }
        }
    }
    return std::nullopt;
}

// Each group's superblock copy, searched backwards from its estimate; where no copy is
// found, the file system's own rule places it.
std::vector<uint64_t> BuildGroupTable(SectorReader& reader, const VolumeGeometry& g,
                                      std::atomic<bool>& stop, MountObserver* observer) {
    std::vector<uint64_t> table{g.volumeStart + ufs::kSuperblockSector};
    for (uint32_t i = 1; i < g.groupCount; ++i) {
        const uint64_t prev = table.back();
        // Stopped, the rest of the groups are placed by the file system's rule.
        const auto found =
            stop.load()
                ? std::nullopt
                : FindSuperblockCopy(reader, SuperblockCopyEstimate(g, i, prev), prev, &stop);
        table.push_back(found ? *found : SuperblockCopySector(g, i));
        if (observer != nullptr) {
            observer->OnProgress(static_cast<uint32_t>(
                std::min<uint64_t>(99, uint64_t{i} * 100 / (g.groupCount + 1000))));
        }
    }
    return table;
}

// Groups that begin past the end of the disk cannot be read: the table covers the others,
// and what lies past the end is a warning.
void ClampToDevice(VolumeGeometry& g, uint64_t totalSectors, std::vector<Warning>& warnings) {
    const uint64_t claimedEnd = ClaimedEndSector(g);
    if (claimedEnd > totalSectors) {
        Warning w;
        w.kind = WarningKind::PastEnd;
        w.sector = std::max(totalSectors, g.volumeStart);
        w.count = claimedEnd - *w.sector;
        warnings.push_back(std::move(w));
    }
    LimitGroups(g, GroupsOnDevice(g, totalSectors));
}

// Every cap and bound of the engine uses fs_size: never more than the slice holds. (A
// device that ends early is no reason to doubt the file system: what lies past its end is
// unreadable, and reported so.)
void ClampSize(VolumeGeometry& g, const PartitionEntry& entry) {
    if (entry.sizeSectors != 0) {
        const uint64_t frags = entry.sizeSectors / g.sectorsPerFragment;
        g.sizeFrags = static_cast<uint32_t>(std::min<uint64_t>(VolumeFragments(g), frags));
    }
}

} // namespace

std::optional<uint64_t> FindSuperblockCopy(SectorReader& reader, uint64_t estimate,
                                           uint64_t previous, const std::atomic<bool>* stop) {
    const uint64_t floor = previous + 64;
    // A copy lies on the device: the search never starts beyond its end.
    const uint64_t total = reader.TotalSectors();
    estimate = std::min(
        estimate, total > ufs::kSuperblockReadSectors ? total - ufs::kSuperblockReadSectors : 0);
    for (const uint64_t step : {uint64_t{512}, uint64_t{32}}) {
        for (uint64_t s = estimate; s > floor; s -= std::min(step, s)) {
            if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
                return std::nullopt;
            }
            if (HasMagicAt(reader, s)) {
                return s;
            }
            if (s < step)
                break;
        }
    }
    return std::nullopt;
}

Result<MountedVolume> MountVolume(SectorReader& reader, const PartitionEntry& entry,
                                  RecoveryMode mode, std::atomic<bool>& stopRequested,
                                  MountObserver* observer, bool applyLog) {
    reader.SetOverlay(nullptr); // whatever another volume's log said does not hold here
    auto progress = [&](uint32_t p) {
        if (observer != nullptr)
            observer->OnProgress(p);
    };
    auto phase = [&](MountPhase p) {
        if (observer != nullptr)
            observer->OnPhase(p);
    };
    progress(0);

    MountedVolume fresh;
    // The superblock, or a usable copy of it; a volume without one is refused.
    uint64_t used = entry.superblockSector;
    auto sb = ReadSuperblock(reader, used);
    if (!sb) {
        const auto backup = FindBackupSuperblock(reader, entry, used, stopRequested);
        if (!backup) {
            return Error{"Cannot mount " + entry.name + ": the superblock at sector " +
                         std::to_string(used) + " is not usable (" + sb.error() +
                         ") and no valid backup copy was found."};
        }
        Warning w;
        w.kind = WarningKind::CorrectedSuperblock;
        w.sector = used;
        w.otherSector = *backup;
        w.reason = sb.error();
        fresh.warnings.push_back(std::move(w));
        used = *backup;
        sb = ReadSuperblock(reader, used);
    }

    // A logging volume: its log holds the newest metadata. Replayed over the volume, the
    // superblock too is read again through it.
    {
        std::vector<uint8_t> raw(ufs::kSuperblockReadSectors * kSectorSize);
        reader.Read(used, raw);
        const uint64_t volumeSectors = entry.sizeSectors != 0
                                           ? entry.sizeSectors
                                           : uint64_t{sb->sizeFrags} * sb->sectorsPerFragment;
        LogReplay replay =
            ReplayLog(reader, entry.startSector, volumeSectors, raw, sb->blockSize, applyLog);
        fresh.log = std::move(replay.report);
        if (replay.overlay) {
            fresh.overlay = std::move(replay.overlay);
            reader.SetOverlay(fresh.overlay);
            if (auto replayed = ReadSuperblock(reader, used))
                sb = std::move(replayed);
        }
        if (fresh.log.status == LogStatus::Damaged) {
            Warning w;
            w.kind = WarningKind::LogDamaged;
            w.reason = fresh.log.reason;
            if (fresh.log.damagedSector != 0)
                w.sector = fresh.log.damagedSector;
            w.count = fresh.log.transactions;
            fresh.warnings.push_back(std::move(w));
        }
    }

    fresh.entry = entry;
    fresh.mode = mode;
    fresh.geometry = *sb;
    fresh.geometry.volumeStart = entry.startSector;
    fresh.superblockUsed = used;
    VolumeGeometry& g = fresh.geometry;
    phase(MountPhase::SearchingGroups);
    ClampToDevice(g, reader.TotalSectors(), fresh.warnings);
    ClampSize(g, entry);
    if (observer != nullptr) {
        observer->OnStopAvailable(true);
    }
    stopRequested.store(false);
    // A stop takes effect between the attempts on a failing sector, not after them all.
    reader.SetStopFlag(&stopRequested);
    struct ClearStop {
        SectorReader& r;
        ~ClearStop() { r.SetStopFlag(nullptr); }
    } clearStop{reader};
    fresh.groupTable = BuildGroupTable(reader, g, stopRequested, observer);
    const bool groupsStopped = stopRequested.load();

    phase(MountPhase::Mounting);
    InodeAccess access(reader, fresh.geometry, fresh.groupTable);
    DirectoryWalker walker(access, fresh.tree, stopRequested, observer);
    walker.ExcludeLog(&fresh.log);
    walker.Run(mode);
    if (observer != nullptr) {
        observer->OnStopAvailable(false);
    }
    fresh.stopped = groupsStopped || walker.WasStopped() || stopRequested.load();
    progress(0);
    phase(MountPhase::CreatingTree);
    fresh.tree.BuildChildIndex();
    auto found = walker.TakeWarnings();
    fresh.unreadableEntries = walker.TakeUnreadableEntries();
    std::erase_if(fresh.unreadableEntries, [&](const UnreadableEntry& e) {
        return fresh.tree.FindFolder(e.inode) >= 0 ||
               (fresh.stopped && !reader.BadSectors().Contains(e.sector));
    });
    if (fresh.stopped) {
        // Reads cut short by the stop are no damage of the disk: only sectors that failed
        // their attempts are.
        std::erase_if(found, [&](const Warning& w) {
            const bool read = w.kind == WarningKind::UnreadableInodes ||
                              w.kind == WarningKind::UnreadableDirectory ||
                              w.kind == WarningKind::UnreadableIndirect;
            return read && w.sector && !reader.BadSectors().Contains(*w.sector);
        });
        Warning w;
        w.kind = WarningKind::Stopped;
        found.push_back(std::move(w));
    }
    fresh.warnings.insert(fresh.warnings.end(), std::make_move_iterator(found.begin()),
                          std::make_move_iterator(found.end()));
    fresh.mounted = true;
    // The walk's working memory is gone: give it back rather than keep it beside the tree
    // for the rest of the session.
    ::malloc_trim(0);
    return fresh;
}

} // namespace trevik
