#pragma once

#include "disk/sector_reader.h"
#include "recovery/recovery_settings.h"
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

struct ExtractionSummary {
    uint64_t filesWritten = 0; // regular files and symbolic links written
    uint64_t bytesWritten = 0;
    uint64_t foldersCreated = 0;
    uint64_t skipped = 0;                // duplicates left alone and files the user skipped
    uint64_t specialsSkipped = 0;        // device files, FIFOs and sockets
    std::vector<std::string> incomplete; // files written with unreadable parts as zeros
    std::vector<std::string> damaged;    // items whose inode cannot be what it claims: not written
    bool stopped = false;
    std::string error; // set when the run could not go on (destination full, read-only...)

    bool Whole() const {
        return incomplete.empty() && damaged.empty() && error.empty() && !stopped;
    }
};

// Copies the chosen items (all of the volume when `items` is empty and `all` is set) into
// `destination`, created when missing. Never writes outside it: names from the disk are
// made safe, nothing is followed through a symbolic link, links are recreated as links.
// Every output file is closed before this returns.
ExtractionSummary ExtractItems(const MountedVolume& volume, SectorReader& reader,
                               const std::vector<ExtractItem>& items, bool all,
                               const std::string& destination, DuplicatePolicy duplicates,
                               ExtractionControl& control, ExtractionObserver* observer);

// A name from the disk made safe to create in one folder: no '/', no NUL, never empty,
// "." or "..".
std::string SafeFileName(std::string_view raw);

// "name (k).ext" for the k-th duplicate of "name.ext".
std::string DuplicateName(const std::string& name, uint32_t k);

} // namespace trevik
