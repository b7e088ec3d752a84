#include "recovery/item_records.h"

#include "format/sector.h"
#include "format/volume_geometry.h"
#include "ufs/inode.h"

#include <algorithm>

namespace trevik {

char TypeLetter(uint16_t mode) {
    switch (ufs::TypeOf(mode)) {
    case ufs::kTypeDir:
        return 'd';
    case ufs::kTypeSymlink:
        return 'l';
    case ufs::kTypeFile:
        return 'r';
    case ufs::kTypeCharDevice:
        return 'c';
    case ufs::kTypeBlockDevice:
        return 'b';
    case ufs::kTypeFifo:
        return 'p';
    case ufs::kTypeSocket:
        return 's';
    default:
        return '-';
    }
}

namespace {

// Holes are hashed as the zeros they read as, up to this much per file; a file sparser
// than that gets no digest (hashing terabytes of zeros a hostile inode claims is no use).
constexpr uint64_t kMostHashedZeros = uint64_t{4} << 30;

// Adds a run, joining it to the last one where both lie end to end on disk and in the file.
void AddRun(std::vector<ByteRun>& runs, ByteRun r) {
    if (!runs.empty() && runs.back().located && r.located &&
        runs.back().fileOffset + runs.back().length == r.fileOffset &&
        runs.back().imgOffset + runs.back().length == r.imgOffset) {
        runs.back().length += r.length;
    } else {
        runs.push_back(r);
    }
}

} // namespace

void RecordKeeper::Begin(ItemRecord& record) {
    record_ = &record;
    hash_.emplace();
    hashedTo_ = 0;
    hashedZeros_ = 0;
}

void RecordKeeper::End() {
    record_ = nullptr;
    hash_.reset();
}

void RecordKeeper::HashZerosTo(uint64_t end) {
    if (!hash_ || end <= hashedTo_)
        return;
    hashedZeros_ += end - hashedTo_;
    if (hashedZeros_ > kMostHashedZeros) {
        hash_.reset();
        return;
    }
    hash_->UpdateZeros(end - hashedTo_);
    hashedTo_ = end;
}

void RecordKeeper::Block(const BadSectorMap& bad, uint64_t fileOffset, uint64_t sector,
                         std::span<const uint8_t> data, bool damaged) {
    const auto length = static_cast<uint32_t>(data.size());
    AddRun(record_->runs, {fileOffset, sector * kSectorSize, length, true});
    if (damaged) {
        // The sectors the reader found unreadable, exactly.
        const uint64_t end = sector + SectorsFor(length);
        for (uint64_t s = bad.NextBad(sector, end); s < end; s = bad.NextBad(s, end)) {
            const uint64_t runEnd = std::min(bad.BadRunEnd(s), end);
            const uint64_t from = (s - sector) * kSectorSize;
            const uint64_t to = std::min<uint64_t>((runEnd - sector) * kSectorSize, length);
            AddRun(record_->unreadable, {fileOffset + from, s * kSectorSize, to - from, true});
            s = runEnd;
        }
    }
    HashZerosTo(fileOffset);
    if (hash_) {
        hash_->Update(data);
        hashedTo_ = fileOffset + length;
    }
}

void RecordKeeper::Lost(uint64_t fileOffset, uint64_t length) {
    if (length != 0)
        record_->unreadable.push_back({fileOffset, 0, length, false});
}

void RecordKeeper::Finish(uint64_t size) {
    HashZerosTo(size);
    record_->hashed = hash_.has_value();
    if (hash_)
        record_->sha256 = hash_->Digest();
}

} // namespace trevik
