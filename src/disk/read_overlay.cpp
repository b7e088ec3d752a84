#include "disk/read_overlay.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace trevik {

void ReadOverlay::Insert(uint64_t offset, Piece piece) {
    if (piece.length == 0)
        return;
    const uint64_t end = offset + piece.length;
    // The piece that starts before `offset` keeps what lies before it, and after it.
    auto it = pieces_.upper_bound(offset);
    if (it != pieces_.begin()) {
        auto prev = std::prev(it);
        const uint64_t prevEnd = prev->first + prev->second.length;
        if (prevEnd > offset) {
            Piece before = Slice(prev->second, prev->first, prev->first, offset - prev->first);
            Piece after;
            if (prevEnd > end)
                after = Slice(prev->second, prev->first, end, prevEnd - end);
            bytes_ -= prev->second.length;
            const uint64_t prevStart = prev->first;
            pieces_.erase(prev);
            if (before.length != 0) {
                bytes_ += before.length;
                pieces_.emplace(prevStart, std::move(before));
            }
            if (after.length != 0) {
                bytes_ += after.length;
                pieces_.emplace(end, std::move(after));
            }
        }
    }
    // Pieces that start inside the new one: gone, but for what reaches past its end.
    it = pieces_.lower_bound(offset);
    while (it != pieces_.end() && it->first < end) {
        const uint64_t pieceEnd = it->first + it->second.length;
        bytes_ -= it->second.length;
        if (pieceEnd > end) {
            Piece after = Slice(it->second, it->first, end, pieceEnd - end);
            it = pieces_.erase(it);
            bytes_ += after.length;
            pieces_.emplace(end, std::move(after));
            break;
        }
        it = pieces_.erase(it);
    }
    bytes_ += piece.length;
    pieces_.emplace(offset, std::move(piece));
}

void ReadOverlay::Put(uint64_t offset, const Arena& arena, size_t at, size_t length) {
    Insert(offset, {length, arena, at});
}

void ReadOverlay::Put(uint64_t offset, std::span<const uint8_t> bytes) {
    std::shared_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    Put(offset, copy, 0, bytes.size());
}

void ReadOverlay::PutZeros(uint64_t offset, uint64_t length) {
    Insert(offset, {length, nullptr, 0});
}

void ReadOverlay::Apply(uint64_t offset, std::span<uint8_t> out) const {
    if (pieces_.empty() || out.empty())
        return;
    const uint64_t end = offset + out.size();
    auto it = pieces_.upper_bound(offset);
    if (it != pieces_.begin())
        --it;
    for (; it != pieces_.end() && it->first < end; ++it) {
        const uint64_t from = std::max(offset, it->first);
        const uint64_t to = std::min(end, it->first + it->second.length);
        if (from >= to)
            continue;
        uint8_t* dst = out.data() + (from - offset);
        const Piece& p = it->second;
        if (!p.arena)
            std::memset(dst, 0, to - from);
        else
            std::memcpy(dst, p.arena.get() + p.at + (from - it->first), to - from);
    }
}

} // namespace trevik
