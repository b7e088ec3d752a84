#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace trevik {

// Every number on a SPARC disk is big-endian. The readers are bounds-checked at the
// span: a field that does not lie wholly inside the buffer reads as 0, so that a
// damaged length or offset can never walk off the end of a buffer.

inline uint16_t ReadBe16(std::span<const uint8_t> buf, size_t offset) {
    if (offset > buf.size() || buf.size() - offset < 2) {
        return 0;
    }
    return static_cast<uint16_t>((buf[offset] << 8) | buf[offset + 1]);
}

inline uint32_t ReadBe32(std::span<const uint8_t> buf, size_t offset) {
    if (offset > buf.size() || buf.size() - offset < 4) {
        return 0;
    }
    return (uint32_t{buf[offset]} << 24) | (uint32_t{buf[offset + 1]} << 16) |
           (uint32_t{buf[offset + 2]} << 8) | uint32_t{buf[offset + 3]};
}

inline uint64_t ReadBe64(std::span<const uint8_t> buf, size_t offset) {
    if (offset > buf.size() || buf.size() - offset < 8) {
        return 0;
    }
    return (uint64_t{ReadBe32(buf, offset)} << 32) | ReadBe32(buf, offset + 4);
}

// The EFI label, and the other systems' formats a disk is recognised by, are little-endian.
inline uint32_t ReadLe32(std::span<const uint8_t> buf, size_t offset) {
    if (offset > buf.size() || buf.size() - offset < 4) {
        return 0;
    }
    return uint32_t{buf[offset]} | (uint32_t{buf[offset + 1]} << 8) |
           (uint32_t{buf[offset + 2]} << 16) | (uint32_t{buf[offset + 3]} << 24);
}

inline uint64_t ReadLe64(std::span<const uint8_t> buf, size_t offset) {
    if (offset > buf.size() || buf.size() - offset < 8) {
        return 0;
    }
    return uint64_t{ReadLe32(buf, offset)} | (uint64_t{ReadLe32(buf, offset + 4)} << 32);
}

inline void WriteBe16(std::span<uint8_t> buf, size_t offset, uint16_t value) {
    if (offset > buf.size() || buf.size() - offset < 2) {
        return;
    }
    buf[offset] = static_cast<uint8_t>(value >> 8);
    buf[offset + 1] = static_cast<uint8_t>(value);
}

inline void WriteBe32(std::span<uint8_t> buf, size_t offset, uint32_t value) {
    if (offset > buf.size() || buf.size() - offset < 4) {
        return;
    }
    buf[offset] = static_cast<uint8_t>(value >> 24);
    buf[offset + 1] = static_cast<uint8_t>(value >> 16);
    buf[offset + 2] = static_cast<uint8_t>(value >> 8);
    buf[offset + 3] = static_cast<uint8_t>(value);
}

inline void WriteBe64(std::span<uint8_t> buf, size_t offset, uint64_t value) {
    WriteBe32(buf, offset, static_cast<uint32_t>(value >> 32));
    WriteBe32(buf, offset + 4, static_cast<uint32_t>(value));
}

} // namespace trevik
