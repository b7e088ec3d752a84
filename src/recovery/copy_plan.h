#pragma once

// What a copy will do, counted before it starts: the files and bytes it copies (for the
// progress shown) and, when subtrees are shared among workers, each folder's share of the
// work and the share above which the walk goes into a folder instead of handing it over.

#include "recovery/extraction.h"

#include <cstdint>
#include <vector>

namespace trevik::copying {

// Whether the walk passes a folder over: the empty folder of found items, when asked.
bool Omitted(const RecoveredTree& tree, const ExtractionOptions& options, uint32_t folder);

class CopyPlan {
public:
    // `weigh`: keep each folder's weight (a file, plus one per 64 KiB, over its subtree).
    CopyPlan(const RecoveredTree& tree, const ExtractionOptions& options, bool weigh);

    // Everything below the folder with this inode.
    void AddSubtree(uint32_t folderInode);
    // One chosen file.
    void AddFile(uint32_t fileIndex);

    uint64_t Files() const { return files_; }
    uint64_t Bytes() const { return bytes_; }
    // The weight above which a folder is worth more than a quarter of a worker's share of
    // everything chosen: the walk goes into it rather than hand it over whole.
    uint64_t HandOverAt(unsigned workers) const;
    // Each folder's weight by folder index (empty unless weighed), handed over: the plan
    // holds none after this.
    std::vector<uint64_t> TakeWeights() { return std::move(weight_); }

private:
    const RecoveredTree& tree_;
    const ExtractionOptions& options_;
    const bool weigh_;
    uint64_t files_ = 0;
    uint64_t bytes_ = 0;
    std::vector<uint64_t> weight_;
};

} // namespace trevik::copying
