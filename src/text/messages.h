#pragma once

// The words both front ends use for what the core reports as values: the captions of the
// mount's phases and the text of each warning. Kept here so that trevik and trevik-cli
// say the same thing in the same words.

#include "disk/assembled_device.h"
#include "recovery/filter_table.h"
#include "ufs/log_replay.h"
#include "ufs/mount_observer.h"
#include "ufs/warnings.h"
#include "volume/disk_label.h"
#include "volume/foreign_format.h"

#include <string>
#include <vector>

namespace trevik::text {

const char* PhaseCaption(MountPhase phase);

// The name scripts match on: "unreadableInodes", "pastEnd", ...
const char* WarningKindName(WarningKind kind);

// One line, for a terminal or a list.
std::string WarningMessage(const Warning& warning);

// One line on what was done with the volume's UFS log.
std::string LogSummary(const LogReport& log);

// "a little-endian UFS2 volume", ...; empty for None.
std::string ForeignFormatName(ForeignFormat format);

// "vtoc", "efi" or "scan": where a volume was found, as scripts match it.
const char* LabelKindName(LabelKind kind);
// The Solaris name of a partition tag, as format(1M) shows it: "root", "usr", "swap", ...;
// "unassigned" for 0, the number for a tag Solaris has no name for.
std::string TagName(uint16_t tag);
// Why a listed volume is not mounted (HoldsUfs false): "... is a swap partition, which
// holds no file system", "... holds a ZFS pool, not UFS".
std::string NotUfsMessage(const PartitionEntry& entry);
// What was wrong with an EFI label's primary copy, and what was used instead; empty when
// nothing was.
std::string LabelDamageMessage(const LabelReport& report);

// What reading a metadevice had to do: a missing RAID-5 column, segments rebuilt from
// parity, a mirror half missing or written at another time than the half read. One line
// each; none for a metadevice read as it was written.
std::vector<std::string> AssemblyNotes(const AssembledDevice& device);

// Why a loaded bad-sector map does not fit the open disk (map and disk sizes in bytes).
std::string MapCoverageMessage(uint64_t mapBytes, uint64_t diskBytes);

// The File Filters dialog's refusal of an entry ("" when it was added), spaces as shown.
std::string FilterRefusal(FilterEditor::Outcome outcome);

} // namespace trevik::text
