#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace trevik {

// Bytes that stand in for what the disk holds at some places: what a file system's log
// says those places hold now, although they were never written there. Pieces are kept
// disjoint; a later piece wins where it overlaps an earlier one. Built once, then only read
// (by any number of threads).
class ReadOverlay {
public:
    using Arena = std::shared_ptr<const uint8_t[]>;

    // `length` bytes of `arena` from `at` (which the overlay keeps alive, never copies).
    void Put(uint64_t offset, const Arena& arena, size_t at, size_t length);
    // A copy of `bytes`.
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
        Arena arena; // null for zeros
        size_t at = 0;
    };
    void Insert(uint64_t offset, Piece piece);
    // The part of `p` (which starts at `start`) from `from` on, `length` bytes long.
    static Piece Slice(const Piece& p, uint64_t start, uint64_t from, uint64_t length) {
        return {length, p.arena, p.arena ? p.at + static_cast<size_t>(from - start) : 0};
    }

    std::map<uint64_t, Piece> pieces_; // by first byte
    uint64_t bytes_ = 0;
};

} // namespace trevik
