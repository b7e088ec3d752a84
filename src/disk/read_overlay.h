#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace trevik {

// Bytes that stand in for what the disk holds at some places: what a file system's log
// says those places hold now, although they were never written there. Pieces are kept
// disjoint; a later piece wins where it overlaps an earlier one. Built once, then only read
// (by any number of threads).
class ReadOverlay {
public:
    void Put(uint64_t offset, std::span<const uint8_t> bytes);
    void PutZeros(uint64_t offset, uint64_t length);
    // Replaces the bytes of `out` (read from byte `offset` of the disk) that a piece covers.
    void Apply(uint64_t offset, std::span<uint8_t> out) const;
    bool Empty() const { return pieces_.empty(); }
    size_t Pieces() const { return pieces_.size(); }
    uint64_t Bytes() const { return bytes_; } // covered, in all

private:
    struct Piece {
        uint64_t length = 0;
        bool zero = false;
        std::vector<uint8_t> bytes; // empty for zeros
    };
    void Insert(uint64_t offset, Piece piece);
    // The part [from, from + length) of a piece that starts at `start`.
    static Piece Slice(const Piece& p, uint64_t start, uint64_t from, uint64_t length);

    std::map<uint64_t, Piece> pieces_; // by first byte
    uint64_t bytes_ = 0;
};

} // namespace trevik
