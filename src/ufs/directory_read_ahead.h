#pragma once

#include "disk/sector_reader.h"

#include <cstdint>
#include <exception>
#include <span>
#include <thread>
#include <utility>
#include <vector>

namespace trevik {

// Directory blocks read ahead of a walk: the blocks it is about to parse are asked for
// first, then read in merged runs sorted by address, and handed out as the walk reaches
// them. A block not among them is the walk's to read.
class DirectoryReadAhead {
public:
    // Forgets what was read and asked for.
    void Clear();
    void Want(uint64_t sector, uint32_t count) {
        wants_.push_back({sector, count});
        wantedBytes_ += size_t{count} * kSectorSize;
    }
    // Bytes asked for since the last read.
    size_t WantedBytes() const { return wantedBytes_; }
    // Reads what was asked for: runs of at most 256 sectors, each sector once.
    void Read(SectorReader& reader) {
        Prepare();
        ReadPrepared(reader);
    }
    // Read in two steps: the runs and the memory for them, then the reads alone (which
    // take no memory, so that a thread doing them needs no heap of its own).
    void Prepare();
    void ReadPrepared(SectorReader& reader);
    // Holds `bytes`, read by the caller from `sector` on, as if read ahead.
    void Hold(uint64_t sector, std::span<const uint8_t> bytes);
    // Copies out.size() bytes from `sector` on out of what was read, with the outcome of
    // reading them; false when they were not all read ahead.
    bool Take(SectorReader& reader, uint64_t sector, std::span<uint8_t> out,
              ReadOutcome& outcome) const;

private:
    struct Wanted {
        uint64_t sector;
        uint32_t count;
    };
    struct Run {
        uint64_t first;
        uint32_t count;
        size_t at; // offset in bytes_
        bool whole;
    };
    std::vector<Wanted> wants_;
    size_t wantedBytes_ = 0;
    std::vector<Run> runs_;
    std::vector<uint8_t> bytes_;
};

// A read-ahead read on a thread of its own, so that the disk is read while the walk parses
// what was read before. Its read-ahead is the caller's to fill while no read is under way.
class BackgroundReadAhead {
public:
    BackgroundReadAhead() = default;
    BackgroundReadAhead(const BackgroundReadAhead&) = delete;
    BackgroundReadAhead& operator=(const BackgroundReadAhead&) = delete;
    ~BackgroundReadAhead() {
        if (thread_.joinable())
            thread_.join(); // a failure nobody waited for goes with the walk that left
    }

    DirectoryReadAhead& ReadAhead() { return ahead_; }
    // Reads what its read-ahead was asked for. `reader` outlives the read.
    void Start(SectorReader& reader) {
        Wait();
        ahead_.Prepare();
        thread_ = std::thread([this, &reader] {
            try {
                ahead_.ReadPrepared(reader);
            } catch (...) {
                failure_ = std::current_exception(); // given to the walk by Wait
            }
        });
    }
    // Waits for a read under way (at once when there is none); what the read threw, it
    // throws here, on the walk's thread.
    void Wait() {
        if (thread_.joinable())
            thread_.join();
        if (failure_)
            std::rethrow_exception(std::exchange(failure_, nullptr));
    }

private:
    DirectoryReadAhead ahead_;
    std::thread thread_;
    std::exception_ptr failure_;
};

} // namespace trevik
