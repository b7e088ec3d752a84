#pragma once

#include "disk/sector_reader.h"
#include "recovery/copy_outcome.h"
#include "recovery/destination.h"
#include "recovery/output_names.h"
#include "recovery/recovery_settings.h"
#include "recovery/source_guard.h"
#include "ufs/mount.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace trevik {

// One chosen row: a folder (index into the folder list, copied with everything below it)
// or a file (its ordinal).
struct ExtractItem {
    bool isFolder = false;
    uint32_t index = 0;
};

struct ExtractionProgress {
    std::string path; // folder of the current file, "/"-separated from the volume root
    std::string name; // the current file, as shown
    uint64_t filesDone = 0;
    uint64_t filesTotal = 0;
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;
};

class ExtractionObserver {
public:
    virtual ~ExtractionObserver() = default;
    virtual void OnFileStarted(const ExtractionProgress& /*progress*/) {}
    virtual void OnProgress(const ExtractionProgress& /*progress*/) {}
};

// The requests the progress dialog sends the copy; tested between files and between
// blocks of a file.
struct ExtractionControl {
    std::atomic<bool> skipFileRequested{false};
    std::atomic<bool> stopSavingRequested{false};
};

// How a copy names and marks what it writes.
struct ExtractionOptions {
    // What to do with a name already in the destination before the run. Two items of one
    // run never merge: the later one gets a " (N)" name whatever the policy.
    DuplicatePolicy duplicates = DuplicatePolicy::Skip;
    bool rawNames = false;  // write the disk's bytes as the name, not the name as shown
    bool keepSetid = false; // keep set-user-ID, set-group-ID and sticky bits (root only)
    bool keepOwner = false; // give items the disk's owner and group (root only)
    // Threads that copy at once, over disjoint subtrees (0: one per core, at most 8). The
    // results are those of one thread; a disk that fails a read is read by one at a time.
    unsigned workers = 0;
    // Keep a record of every item met (where its bytes lie, a SHA-256 of what was written),
    // for a report.
    bool records = false;
    // Files that are never replaced, whatever `duplicates` says (the disk image being read,
    // under any name): an item that would take such a name gets a " (N)" name instead.
    std::vector<FileIdentity> protectedFiles;
    // Leave out the folder of found items when it holds nothing (an Extensive mount of a
    // sound volume): the window shows none, so none is made.
    bool omitEmptyLostDir = false;
};

// Copies the chosen items (all of the volume when `items` is empty and `all` is set) into
// `destination`, created when missing. Never writes outside it: names from the disk are
// made safe, nothing is followed through a symbolic link, links are recreated as links.
// A file or link appears under its name only once it is whole (it is written under a
// temporary name first); every output file is closed before this returns. Gives what
// became of each item it reached, summarized (Summarize).
ExtractionSummary ExtractItems(const MountedVolume& volume, SectorReader& reader,
                               const std::vector<ExtractItem>& items, bool all,
                               const std::string& destination, const ExtractionOptions& options,
                               ExtractionControl& control, ExtractionObserver* observer);

inline ExtractionSummary ExtractItems(const MountedVolume& volume, SectorReader& reader,
                                      const std::vector<ExtractItem>& items, bool all,
                                      const std::string& destination, DuplicatePolicy duplicates,
                                      ExtractionControl& control, ExtractionObserver* observer) {
    ExtractionOptions options;
    options.duplicates = duplicates;
    return ExtractItems(volume, reader, items, all, destination, options, control, observer);
}

} // namespace trevik
