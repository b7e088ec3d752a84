#pragma once

#include <cstdint>

namespace trevik {

enum class DuplicatePolicy : uint16_t { Rename = 1, Overwrite = 2, Skip = 3 };
enum class DeletedFilePolicy : uint16_t { IncludeDeleted = 1, OnlyDeleted = 2, ExcludeDeleted = 3 };

// The user's reading and copying choices. In memory only: every start begins with the
// defaults.
struct RecoverySettings {
    static constexpr uint32_t kMinSectorsPerRead = 1;
    static constexpr uint32_t kMaxSectorsPerRead = 100;
    static constexpr uint16_t kMinRetries = 1;
    static constexpr uint16_t kMaxRetries = 10;

    uint32_t sectorsPerRead = 60;
    DuplicatePolicy duplicatePolicy = DuplicatePolicy::Skip;
    DeletedFilePolicy deletedFilePolicy = DeletedFilePolicy::IncludeDeleted;
    uint16_t badSectorRetries = 3;
    bool rawNames = false; // copies write the disk's name bytes, not the names as shown
    bool applyLog = true;  // a logging volume is mounted with its UFS log replayed
};

} // namespace trevik
