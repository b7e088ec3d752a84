#pragma once

#include "cli/commands.h"
#include "recovery/session.h"
#include "volume/disk_label.h"
#include "volume/state_database.h"
#include "volume/superblock_scan.h"

#include <string>

namespace trevik::cli {

// Opens the device for a command with its read options in force and its ddrescue map
// loaded. Prints its own errors.
bool OpenForReading(Session& session, const std::string& device, const ReadOptions& options);

// The scan a --scan runs: --start and --end read as the window reads its fields, the
// end defaulting to the device's. Prints the window's message and returns the exit code
// when they are not valid (before the device is opened, as far as it can tell).
std::optional<int> CheckScanRange(const ScanRangeOptions& range);
std::optional<int> MakeScanOptions(const ScanRangeOptions& range, uint64_t totalSectors,
                                   uint32_t sectorsPerRead, ScanOptions& scan);

// Says why the disk shows no volume: another system's format where one is recognised,
// else that the label is missing and --scan may find volumes. (`scanned`: a scan found
// none.)
void ExplainNoVolumes(Session& session, const std::string& device, bool scanned);

// The layout a command was given in place of DEVICE. Prints the reason and returns the
// exit code when it is not one.
std::optional<int> MakeLayout(const LayoutOptions& options, LayoutSpec& spec);
// The same check alone, for a command to make before it opens anything.
std::optional<int> CheckLayout(const LayoutOptions& options);
// Whether finding a metadevice from its state database met something to warn of (a
// damaged replica, a component not on the disks given): the command then exits 1.
bool LayoutWarned();
// Reads the state database on the --disk disks: prints its warnings (they make the
// command exit 1) and, when it records no metadevice, why and what to give instead.
std::optional<MetadeviceSearch> SearchDisks(const LayoutOptions& options);
// What to call the device in messages: its path, or the metadevice's layout.
std::string DeviceName(const Session& session, const std::string& device);
// Says why an assembled metadevice shows no volume, and what to try.
void ExplainNoMetadeviceVolume(Session& session);
// What a metadevice read had to do: columns rebuilt from parity, the mirror half read and
// why, and where its unreadable sectors lie on the component disks. Nothing for a disk.
void ReportAssembly(Session& session);

// Warns (stderr) when the EFI label was damaged; nothing when it was sound.
void WarnLabelDamage(const LabelReport& report);

// Warns when part of a scan's range could not be read (found so, or named by a map):
// volumes there may be missed. Returns how many sectors.
uint64_t WarnScanUnreadable(const SectorReader& reader, const ScanOptions& scan);

// Writes --save-badmap when it was given. Returns rc, or a failure when the map cannot be
// written.
// `saveAllowed` false: the command refused the map's path, which is left alone.
int FinishReading(Session& session, const ReadOptions& options, int rc, bool saveAllowed = true);

} // namespace trevik::cli
