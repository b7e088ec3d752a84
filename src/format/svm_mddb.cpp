#include "format/svm_mddb.h"

#include "format/big_endian.h"

namespace trevik::svm {
namespace {
constexpr size_t kMagic = 0;
constexpr size_t kRevision = 4;
constexpr size_t kTimestamp = 20;
constexpr size_t kBlockCount = 28;
constexpr size_t kBlockNumber = 32;
constexpr size_t kSetNumber = 36;
} // namespace

std::optional<MasterBlock> DecodeMasterBlock(std::span<const uint8_t> s) {
    if (s.size() < 64 || ReadBe32(s, kMagic) != kMasterMagic)
        return std::nullopt;
    MasterBlock m;
    m.revision = ReadBe32(s, kRevision);
    m.timestamp = ReadBe32(s, kTimestamp);
    m.blockCount = ReadBe32(s, kBlockCount);
    m.blockNumber = ReadBe32(s, kBlockNumber);
    m.setNumber = ReadBe32(s, kSetNumber);
    if ((m.revision != kMasterRevision && m.revision != kMasterRevisionMultiNode) ||
        m.blockNumber != kMasterBlockSector || m.blockCount == 0)
        return std::nullopt;
    return m;
}

} // namespace trevik::svm
