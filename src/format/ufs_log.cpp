#include "format/ufs_log.h"

#include "format/big_endian.h"
#include "format/ufs_format.h"

#include <algorithm>
#include <string>

namespace trevik::ufs {
namespace {

constexpr uint32_t kExtentChecksumAt = 4;
constexpr uint32_t kExtentCountAt = 8;

} // namespace

LogFields DecodeLogFields(std::span<const uint8_t> sb) {
    LogFields f;
    if (sb.size() < sb_field::kStructEnd)
        return f;
    if (ReadBe32(sb, sb_field::kMagic) == kMtbMagic)
        f.unitSectors = std::max<uint32_t>(ReadBe32(sb, sb_field::kFsize) / kSectorSize, 1);
    f.logbno = uint64_t{ReadBe32(sb, log_field::kLogbno)} * f.unitSectors;
    f.rolled = ReadBe32(sb, log_field::kRolled);
    f.reclaim = ReadBe32(sb, log_field::kReclaim);
    f.clean = sb[sb_field::kClean];
    const uint32_t state = ReadBe32(sb, sb_field::kState);
    const uint32_t time = ReadBe32(sb, sb_field::kTime);
    f.logging =
        f.logbno != 0 && f.clean == kFsLog && static_cast<uint32_t>(state + time) == kFsOkay;
    return f;
}

int32_t ExtentBlockSum(std::span<const uint8_t> block) {
    uint32_t sum = 0;
    for (size_t at = 0; at + 4 <= block.size(); at += 4) {
        if (at != kExtentChecksumAt)
            sum += ReadBe32(block, at);
    }
    return static_cast<int32_t>(sum);
}

Result<std::vector<LogExtent>> DecodeExtentBlock(std::span<const uint8_t> block,
                                                 uint32_t unitSectors) {
    if (block.size() < kExtentBlockHeader + kExtentSize)
        return Error{"the extent block is too short"};
    if (ReadBe32(block, 0) != kLogExtentsType)
        return Error{"the extent block is not one (type " + std::to_string(ReadBe32(block, 0)) +
                     ")"};
    if (static_cast<int32_t>(ReadBe32(block, kExtentChecksumAt)) != ExtentBlockSum(block))
        return Error{"the extent block's checksum is wrong"};
    const uint32_t count = ReadBe32(block, kExtentCountAt);
    if (count == 0 || count > (block.size() - kExtentBlockHeader) / kExtentSize)
        return Error{"the extent block names " + std::to_string(count) + " extents"};
    std::vector<LogExtent> extents;
    uint64_t next = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = kExtentBlockHeader + size_t{i} * kExtentSize;
        LogExtent e{ReadBe32(block, at), uint64_t{ReadBe32(block, at + 4)} * unitSectors,
                    ReadBe32(block, at + 8)};
        if (e.lbno != next || e.nbno == 0 || e.pbno == 0)
            return Error{"the log's extents do not follow one another"};
        next += e.nbno;
        if (next * kSectorSize > kMaxLogBytes + (1u << 20))
            return Error{"the log's extents map more than a log can hold"};
        extents.push_back(e);
    }
    return extents;
}

LogState DecodeLogState(std::span<const uint8_t, kSectorSize> s) {
    // ml_odunit_t, its fields at the offsets illumos's sys/fs/ufs_log.h gives them; the log
    // offsets are signed.
    const auto lof = [&](uint32_t at) { return static_cast<int32_t>(ReadBe32(s, at)); };
    LogState st;
    st.version = ReadBe32(s, 0);
    st.badlog = ReadBe32(s, 4);
    st.bolLof = lof(20);
    st.eolLof = lof(24);
    st.logSize = ReadBe32(s, 36);
    st.headLof = lof(48);
    st.headIdent = ReadBe32(s, 52);
    st.tailLof = lof(56);
    st.tailIdent = ReadBe32(s, 60);
    st.checksum = ReadBe32(s, 64);
    return st;
}

std::optional<std::string> CheckLogState(const LogState& s, uint64_t logBytes) {
    if (s.version != kLogVersion)
        return "log version " + std::to_string(s.version) + ", not 1";
    if (s.checksum != static_cast<uint32_t>(s.headIdent + s.tailIdent))
        return std::string("the log state's checksum is wrong");
    const auto sector = [](int32_t lof) { return lof >= 0 && lof % kSectorSize == 0; };
    if (!sector(s.bolLof) || !sector(s.eolLof) ||
        s.bolLof < int32_t{kLogStateSectors * kSectorSize} || s.eolLof <= s.bolLof ||
        static_cast<uint64_t>(s.eolLof) > logBytes)
        return std::string("the log's bounds lie outside its extents");
    if (s.headLof < s.bolLof || s.headLof >= s.eolLof)
        return std::string("the log's head lies outside the log");
    return std::nullopt;
}

SectorTrailer DecodeTrailer(std::span<const uint8_t, kSectorSize> s) {
    return {ReadBe32(s, kLogSectorPayload), ReadBe32(s, kLogSectorPayload + 4)};
}

DeltaHeader DecodeDeltaHeader(std::span<const uint8_t, kDeltaHeaderSize> b) {
    return {static_cast<int64_t>(ReadBe64(b, 0)), static_cast<int32_t>(ReadBe32(b, 8)),
            ReadBe32(b, 12)};
}

bool IsPlausibleDelta(const DeltaHeader& d) {
    return d.type >= kDtSb && d.type < kDtMax && d.nb >= 0 &&
           d.nb <= static_cast<int32_t>(kMaxDeltaBytes) && d.mof >= 0;
}

std::optional<uint64_t> LogToVolumeSector(const std::vector<LogExtent>& extents, uint64_t sector) {
    for (const LogExtent& e : extents) {
        if (sector >= e.lbno && sector < uint64_t{e.lbno} + e.nbno)
            return e.pbno + (sector - e.lbno);
    }
    return std::nullopt;
}

} // namespace trevik::ufs
