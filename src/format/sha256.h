#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace trevik {

// SHA-256 (FIPS 180-4), fed in pieces of any size.
class Sha256 {
public:
    Sha256();
    void Update(std::span<const uint8_t> bytes);
    // `count` zero bytes (a hole of a sparse file), without a buffer of that size.
    void UpdateZeros(uint64_t count);
    // The digest; the object is spent afterwards.
    std::array<uint8_t, 32> Digest();
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string HexDigest();

private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> pending_{};
    size_t pendingSize_ = 0;
    uint64_t length_ = 0;
};

} // namespace trevik
