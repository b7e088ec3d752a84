#include "text/messages.h"

#include <iterator>

namespace trevik::text {

const char* PhaseCaption(MountPhase phase) {
    switch (phase) {
    case MountPhase::SearchingGroups:
        return "Searching data structures, please wait...";
    case MountPhase::Mounting:
        return "Mounting volume, please wait...";
    case MountPhase::Finalizing:
        return "Please wait, finalizing recovery";
    case MountPhase::LostData:
        return "Searching Lost Data ...";
    case MountPhase::CreatingTree:
        return "Creating Tree Structure, Please wait";
    }
    return "";
}

const char* WarningKindName(WarningKind kind) {
    switch (kind) {
    case WarningKind::UnreadableInodes:
        return "unreadableInodes";
    case WarningKind::UnreadableDirectory:
        return "unreadableDirectory";
    case WarningKind::BrokenDirectory:
        return "brokenDirectory";
    case WarningKind::UnreadableIndirect:
        return "unreadableIndirect";
    case WarningKind::PastEnd:
        return "pastEnd";
    case WarningKind::CorrectedSuperblock:
        return "correctedSuperblock";
    case WarningKind::DamagedBlockMap:
        return "damagedBlockMap";
    case WarningKind::RebuildLimit:
        return "rebuildLimit";
    case WarningKind::LogDamaged:
        return "logDamaged";
    case WarningKind::Stopped:
        return "stopped";
    }
    return "unknown";
}

namespace {

std::string Folder(const Warning& w) {
    if (!w.path.empty()) {
        return "Folder " + w.path;
    }
    return "The folder with inode " + std::to_string(w.folderInode);
}

std::string AtSector(const Warning& w) {
    return w.sector ? " at sector " + std::to_string(*w.sector) : "";
}

} // namespace

std::string WarningMessage(const Warning& w) {
    switch (w.kind) {
    case WarningKind::UnreadableInodes: {
        std::string m = "Inode table sector" + (w.sector ? " " + std::to_string(*w.sector) : "") +
                        " is unreadable: inodes " + std::to_string(w.firstInode) + "-" +
                        std::to_string(w.lastInode) + " are lost";
        if (w.count != 0) {
            m += "; named by ";
            for (size_t i = 0; i < w.names.size(); ++i) {
                m += (i == 0 ? "" : ", ") + w.names[i];
            }
            if (w.count > w.names.size()) {
                m += " and " + std::to_string(w.count - w.names.size()) + " more";
            }
        }
        return m;
    }
    case WarningKind::UnreadableDirectory:
        return Folder(w) + ": directory data" + AtSector(w) +
               " is unreadable; the entries there are lost";
    case WarningKind::BrokenDirectory:
        return Folder(w) + ": directory data" + AtSector(w) +
               " is damaged; the entries there cannot be read";
    case WarningKind::UnreadableIndirect:
        return Folder(w) + ": a block-map block" + AtSector(w) +
               " is unreadable; the folder's entries it locates are lost";
    case WarningKind::PastEnd:
        return "The volume reaches " + std::to_string(w.count) +
               " sectors past the end of the disk (from sector " +
               std::to_string(w.sector.value_or(0)) + "): what lies there cannot be read";
    case WarningKind::DamagedBlockMap:
        return Folder(w) +
               ": its block map is damaged (a block outside the volume, or one named twice); "
               "the entries beyond that point are lost";
    case WarningKind::RebuildLimit:
        return "More directory blocks were found among the data than a rebuild keeps (from "
               "sector " +
               std::to_string(w.sector.value_or(0)) +
               " on): the folders in the rest were not rebuilt";
    case WarningKind::Stopped:
        return "The search was stopped before it ended: the listing is incomplete, only the "
               "folders and files found by then are shown";
    case WarningKind::LogDamaged:
        return "The UFS log is damaged (" + w.reason + "): " +
               (w.count != 0 ? "the " + std::to_string(w.count) +
                                   " transaction(s) committed before that point were replayed, "
                                   "anything after it is not shown"
                             : "nothing of it was replayed") +
               "; the newest changes made before the crash may be missing";
    case WarningKind::CorrectedSuperblock:
        return "The superblock at sector " + std::to_string(w.sector.value_or(0)) +
               " is not usable (" + w.reason + "); mounted from its backup copy at sector " +
               std::to_string(w.otherSector) + ".";
    }
    return "";
}

std::string LogSummary(const LogReport& log) {
    switch (log.status) {
    case LogStatus::None:
        return "No UFS log (the volume does not use logging)";
    case LogStatus::Rolled:
        return "UFS log rolled: nothing to replay";
    case LogStatus::Replayed:
        return "UFS log replayed: " + std::to_string(log.transactions) + " transaction(s), " +
               std::to_string(log.deltas) + " change(s), " + std::to_string(log.bytes) +
               " bytes of metadata newer than the volume's own";
    case LogStatus::Damaged:
        return "UFS log damaged (" + log.reason + "): " + std::to_string(log.transactions) +
               " transaction(s) replayed";
    case LogStatus::Ignored:
        return "UFS log ignored on request: the volume is shown as it stands on the disk";
    }
    return "";
}

std::string ForeignFormatName(ForeignFormat format) {
    switch (format) {
    case ForeignFormat::None:
        return "";
    case ForeignFormat::UfsLittleEndian:
        return "a little-endian UFS1 volume (a PC's BSD or Solaris x86)";
    case ForeignFormat::Ufs2LittleEndian:
        return "a little-endian UFS2 volume (FreeBSD)";
    case ForeignFormat::Ufs2BigEndian:
        return "a big-endian UFS2 volume (a BSD, not Solaris)";
    case ForeignFormat::Zfs:
        return "a ZFS pool";
    case ForeignFormat::Ext:
        return "a Linux ext2/ext3/ext4 file system";
    case ForeignFormat::SvmReplica:
        return "a Solaris Volume Manager state database replica (it is a component of a "
               "metadevice: give every disk of it with --disk, and the replica says the rest; "
               "without one, open the metadevice with its layout, --concat, --stripe, --raid5 "
               "or --mirror, its data past the replicas with --start-block, or let volumes "
               "--guess try the usual interlaces and orders)";
    case ForeignFormat::EfiLabel:
        return "an EFI (GPT) partition table";
    case ForeignFormat::PcPartitionTable:
        return "a PC (MBR) partition table";
    }
    return "";
}

const char* LabelKindName(LabelKind kind) {
    switch (kind) {
    case LabelKind::Vtoc:
        return "vtoc";
    case LabelKind::Efi:
        return "efi";
    case LabelKind::Scan:
        return "scan";
    case LabelKind::Metadevice:
        return "metadevice";
    }
    return "scan";
}

std::string TagName(uint16_t t) {
    static constexpr const char* kNames[] = {
        "unassigned", "boot", "root",       "swap",  "usr",      "backup", "stand",
        "var",        "home", "alternates", "cache", "reserved", "system"};
    if (t < std::size(kNames))
        return kNames[t];
    if (t == tag::kBiosBoot)
        return "BIOS_boot";
    return std::to_string(t);
}

std::string NotUfsMessage(const PartitionEntry& e) {
    if (e.label == LabelKind::Efi && !TagHoldsFileSystem(e.tag))
        return e.name + " is a " + TagName(e.tag) +
               " partition, which holds no file system: it is listed but not mounted";
    if (e.label == LabelKind::Vtoc && !TagHoldsFileSystem(e.tag) && !e.ufsMagic &&
        e.content == ForeignFormat::None)
        return e.name + " is a " + TagName(e.tag) +
               " slice and holds no UFS file system: it is listed but not mounted";
    if (e.content != ForeignFormat::None)
        return e.name + " holds " + ForeignFormatName(e.content) +
               ", not a Solaris UFS volume: it is listed but not mounted";
    return "";
}

std::string LabelDamageMessage(const LabelReport& r) {
    std::string m;
    if (!r.primaryDamage.empty()) {
        if (r.usedBackup)
            m = "the disk's EFI label is damaged (" + r.primaryDamage +
                "); its backup copy in the last sector was used";
        else
            m = "the disk's EFI label is damaged (" + r.primaryDamage + ") and so is its backup (" +
                r.backupDamage + "): --scan looks for volumes by their UFS superblocks instead";
    }
    if (r.notListed != 0)
        m += (m.empty() ? "" : "; ") + std::to_string(r.notListed) +
             " more partition(s) of the EFI label are not listed: a disk lists at most " +
             std::to_string(VolumeTable::kCapacity) + " volumes";
    return m;
}

std::vector<std::string> AssemblyNotes(const AssembledDevice& md) {
    std::vector<std::string> notes;
    const LayoutSpec& spec = md.Spec();
    if (spec.kind == LayoutKind::Raid5) {
        for (size_t c = 0; c < spec.components.size(); ++c) {
            if (spec.components[c] == kMissingComponent)
                notes.push_back("RAID-5 column " + std::to_string(c + 1) +
                                " is missing: what it held is rebuilt from the other columns' "
                                "parity");
        }
        if (const uint64_t n = md.RebuiltSegments(); n != 0)
            notes.push_back(std::to_string(n) + " RAID-5 segment(s) of " +
                            std::to_string(spec.interlaceSectors) +
                            " sectors were rebuilt from parity");
    }
    if (spec.kind == LayoutKind::Mirror) {
        const size_t half = md.MirrorHalf();
        for (size_t i = 0; i < spec.components.size(); ++i) {
            if (i == half)
                continue;
            if (spec.components[i] == kMissingComponent)
                notes.push_back("mirror half " + std::to_string(i + 1) + " is missing");
            else if (md.MirrorTime(i) != md.MirrorTime(half))
                notes.push_back("mirror half " + std::to_string(i + 1) + " (" + spec.components[i] +
                                ") was last written at another time than half " +
                                std::to_string(half + 1) + " (" + spec.components[half] +
                                "), which was read; it is a volume of its own (--mirror with "
                                "it first, or open it alone)");
        }
    }
    return notes;
}

std::string MapCoverageMessage(uint64_t mapBytes, uint64_t diskBytes) {
    if (mapBytes < diskBytes) {
        return "the bad-sector map reaches " + std::to_string(mapBytes) +
               " bytes but the disk holds " + std::to_string(diskBytes) +
               ": the rest was never tried, is not read and is reported unreadable";
    }
    return "the bad-sector map reaches " + std::to_string(mapBytes) +
           " bytes but the disk holds only " + std::to_string(diskBytes) +
           " (is it the map of another disk?): what it names past the end is ignored";
}

std::string FilterRefusal(FilterEditor::Outcome outcome) {
    switch (outcome) {
    case FilterEditor::Outcome::Added:
        return "";
    case FilterEditor::Outcome::TooMany:
        return "      You cannot add more Filters     ";
    case FilterEditor::Outcome::TooLong:
        return "      Filter too long     ";
    case FilterEditor::Outcome::Blank:
        return "      You can not add a blank entry.     ";
    case FilterEditor::Outcome::Duplicate:
        return "      Filter already exists in the list     ";
    }
    return "";
}

} // namespace trevik::text
