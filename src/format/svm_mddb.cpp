#include "format/svm_mddb.h"

#include "format/big_endian.h"

#include <algorithm>
#include <array>

namespace trevik::svm {
namespace {

constexpr uint32_t kCrcSeed = 987654;
constexpr uint32_t kCrcPolynomial = 0x04c11db7;

const std::array<uint32_t, 256>& CrcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t v = b << 24;
            for (int i = 0; i < 8; ++i)
                v = (v & 0x80000000u) ? (v << 1) ^ kCrcPolynomial : v << 1;
            t[b] = v;
        }
        return t;
    }();
    return table;
}

// A revision is read when its major part is the one known and its minor part no newer.
bool RevisionKnown(uint32_t known, uint32_t found) {
    return (known & 0xff00) == (found & 0xff00) && (found & 0xff) <= (known & 0xff);
}

// Master block fields (mddb_mb_t).
namespace mb {
constexpr size_t kMagic = 0, kRevision = 4, kChecksum = 8, kNextBlock = 16, kTimestamp = 20,
                 kBlockCount = 28, kBlockNumber = 32, kSetNumber = 36, kMapConsecutive = 76,
                 kMapFirst = 80;
}
// Locator block fields (mddb_lb_t).
namespace lb {
constexpr size_t kMagic = 0, kRevision = 4, kChecksum = 8, kCommitCount = 12, kReplicas = 24,
                 kSetNumber = 100, kBlockCount = 104, kFirstDirectory = 116;
}
// Directory block (mddb_db32_t) and its entries (mddb_de32_t).
namespace db {
constexpr size_t kMagic = 0, kRevision = 4, kChecksum = 8, kNextBlock = 20, kRecordSum = 32,
                 kFirstEntry = 36, kEntries = 40;
constexpr size_t kNext = 0, kRecordId = 8, kType1 = 12, kType2 = 16, kRequested = 20,
                 kRecordSize = 24, kBlockCount = 28, kFlags = 32, kBlocks = 52;
} // namespace db
// Record block (mddb_rb32_t).
namespace rb {
constexpr size_t kMagic = 0, kRevision = 4, kChecksum = 8, kFiddle = 12, kData = 40;
}
// The unit structures' common part: mdc_unit32_od_t (80 bytes with its padding) in the
// layout kept for metadevices under 1 TB, mdc_unit_t (88) in the one for larger ones,
// where block numbers and device numbers are 64-bit. Both as SPARC aligns them.
namespace unit {
constexpr size_t kType = 8, kSelfId = 24, kTotalBlocks = 40;
constexpr uint32_t kTypeStripe = 1, kTypeMirror = 2, kTypeRaid = 4; // md_types_t
} // namespace unit

// Where a layout keeps the fields the reader uses.
struct UnitLayout {
    bool wide = false;       // block and device numbers 64-bit
    size_t common = 0;       // the common part's size
    size_t parent = 0;       // un_parent
    size_t stripeRows = 0;   // ms_unit: the first row
    size_t rowSize = 0;      // ms_row
    size_t rowInterlace = 0; // its un_interlace (un_blocks at 8)
    size_t compSize = 0;     // ms_comp
    size_t compDevice = 0, compStart = 0, compState = 0;
    size_t submirrors = 0; // mm_unit: the first submirror
    size_t submirrorDevice = 0, submirrorState = 0;
    size_t raidColumnCount = 0, raidSegment = 0, raidColumns = 0; // mr_unit
    size_t columnSize = 0, columnKey = 0, columnDevice = 0, columnStart = 0;
};
constexpr UnitLayout kSmall{false, 80, 68, 92,  20,  16,  56, 4,  8,  24,
                            92,    4,  8,  104, 112, 212, 76, 40, 52, 60};
constexpr UnitLayout kLarge{true, 88, 80, 104, 32,  24,  72,  8,  16, 28,
                            104,  8,  16, 112, 120, 216, 128, 56, 80, 96};
constexpr size_t kSubmirrorSize = 88; // in both layouts

uint64_t ReadNumber(std::span<const uint8_t> d, size_t at, bool wide) {
    return wide ? ReadBe64(d, at) : ReadBe32(d, at);
}
// A device number's minor: the low 18 bits of a dev32, the low 32 of a 64-bit one.
uint32_t MinorOf(std::span<const uint8_t> d, size_t at, bool wide) {
    return wide ? ReadBe32(d, at + 4) : ReadBe32(d, at) & 0x3ffff;
}

template <typename T> Decoded<T> Fail(std::string why) {
    Decoded<T> d;
    d.error = std::move(why);
    return d;
}

std::string Hex(uint32_t v) {
    static const char* digits = "0123456789abcdef";
    std::string s = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        s += digits[(v >> shift) & 0xf];
    return s;
}

Decoded<Unit> CheckUnit(std::span<const uint8_t> d, uint32_t type, UnitKind kind, size_t fixedSize,
                        const UnitLayout& l) {
    if (d.size() < fixedSize)
        return Fail<Unit>("the unit record is shorter than its structure");
    if (ReadBe32(d, unit::kType) != type)
        return Fail<Unit>("the unit record's type " + std::to_string(ReadBe32(d, unit::kType)) +
                          " is not the one its directory entry names");
    Unit u;
    u.kind = kind;
    const uint32_t minor = ReadBe32(d, unit::kSelfId);
    u.unitNumber = minor & 0x1fff;
    u.setNumber = minor >> 13;
    u.blocks = ReadNumber(d, unit::kTotalBlocks, l.wide);
    u.parent = ReadBe32(d, l.parent);
    Decoded<Unit> r;
    r.value = std::move(u);
    return r;
}

} // namespace

uint32_t Checksum(std::span<const uint8_t> bytes, size_t resultAt, std::span<const SkipArea> skip) {
    const auto& table = CrcTable();
    uint32_t crc = kCrcSeed;
    size_t next = 0;
    for (size_t i = 0; i < bytes.size();) {
        if (i == resultAt) {
            i += 4;
            continue;
        }
        while (next < skip.size() && skip[next].offset + skip[next].size <= i)
            ++next;
        if (next < skip.size() && i >= skip[next].offset) {
            i = skip[next].offset + skip[next].size;
            continue;
        }
        crc = (crc << 8) ^ table[(crc >> 24) ^ bytes[i]];
        ++i;
    }
    return crc;
}

std::optional<MasterBlock> DecodeMasterBlock(std::span<const uint8_t> s) {
    if (s.size() < kBlockSize || ReadBe32(s, mb::kMagic) != kMasterMagic)
        return std::nullopt;
    MasterBlock m;
    m.revision = ReadBe32(s, mb::kRevision);
    m.timestamp = ReadBe32(s, mb::kTimestamp);
    m.blockCount = ReadBe32(s, mb::kBlockCount);
    m.blockNumber = ReadBe32(s, mb::kBlockNumber);
    m.setNumber = ReadBe32(s, mb::kSetNumber);
    m.consecutive = ReadBe32(s, mb::kMapConsecutive);
    m.firstBlock = ReadBe32(s, mb::kMapFirst);
    m.nextBlock = ReadBe32(s, mb::kNextBlock);
    if ((m.revision != kMasterRevision && m.revision != kMasterRevisionMultiNode) ||
        m.blockNumber != kMasterBlockSector || m.blockCount == 0)
        return std::nullopt;
    m.checksumOk = Checksum(s.first(kBlockSize), mb::kChecksum) == ReadBe32(s, mb::kChecksum);
    return m;
}

uint32_t LocatorBlockCount(std::span<const uint8_t> first) {
    if (first.size() < kBlockSize || ReadBe32(first, lb::kMagic) != kLocatorMagic)
        return 0;
    return ReadBe32(first, lb::kBlockCount);
}

Decoded<LocatorBlock> DecodeLocatorBlock(std::span<const uint8_t> blocks) {
    if (blocks.size() < kBlockSize || ReadBe32(blocks, lb::kMagic) != kLocatorMagic)
        return Fail<LocatorBlock>("logical block 0 holds no locator block");
    if (!RevisionKnown(kLocatorRevision, ReadBe32(blocks, lb::kRevision)))
        return Fail<LocatorBlock>("the locator block has revision " +
                                  Hex(ReadBe32(blocks, lb::kRevision)) +
                                  " (a multi-owner set, or one not known)");
    LocatorBlock l;
    l.blockCount = ReadBe32(blocks, lb::kBlockCount);
    if (l.blockCount == 0 || l.blockCount > kLocatorMaxBlocks ||
        size_t{l.blockCount} * kBlockSize > blocks.size())
        return Fail<LocatorBlock>("the locator block gives a size of " +
                                  std::to_string(l.blockCount) + " blocks");
    const auto whole = blocks.first(size_t{l.blockCount} * kBlockSize);
    if (Checksum(whole, lb::kChecksum) != ReadBe32(whole, lb::kChecksum))
        return Fail<LocatorBlock>("the locator block's checksum is wrong");
    l.firstDirectoryBlock = ReadBe32(whole, lb::kFirstDirectory);
    l.setNumber = ReadBe32(whole, lb::kSetNumber);
    l.replicas = ReadBe32(whole, lb::kReplicas);
    l.commitCount = ReadBe32(whole, lb::kCommitCount);
    Decoded<LocatorBlock> r;
    r.value = l;
    return r;
}

Decoded<DirectoryBlock> DecodeDirectoryBlock(std::span<const uint8_t> b) {
    if (b.size() < kBlockSize || ReadBe32(b, db::kMagic) != kDirectoryMagic)
        return Fail<DirectoryBlock>("a directory block has no directory magic");
    b = b.first(kBlockSize);
    if (!RevisionKnown(kDirectoryRevision, ReadBe32(b, db::kRevision)))
        return Fail<DirectoryBlock>("a directory block has revision " +
                                    Hex(ReadBe32(b, db::kRevision)));
    if (Checksum(b, db::kChecksum) != ReadBe32(b, db::kChecksum))
        return Fail<DirectoryBlock>("a directory block's checksum is wrong");
    DirectoryBlock d;
    d.nextBlock = ReadBe32(b, db::kNextBlock);
    d.recordSum = ReadBe32(b, db::kRecordSum);
    if (ReadBe32(b, db::kFirstEntry) == 0) {
        Decoded<DirectoryBlock> r;
        r.value = std::move(d);
        return r;
    }
    // Entries follow one another; each but the last has a non-zero next field.
    for (size_t at = db::kEntries;;) {
        if (at + db::kBlocks > b.size())
            return Fail<DirectoryBlock>("a directory entry runs past its block");
        DirectoryEntry e;
        e.recordId = ReadBe32(b, at + db::kRecordId);
        e.type1 = ReadBe32(b, at + db::kType1);
        e.type2 = ReadBe32(b, at + db::kType2);
        e.requestedSize = ReadBe32(b, at + db::kRequested);
        e.recordSize = ReadBe32(b, at + db::kRecordSize);
        e.flags = ReadBe32(b, at + db::kFlags);
        const uint32_t count = ReadBe32(b, at + db::kBlockCount);
        if (count == 0 || count > (b.size() - at - db::kBlocks) / 4 ||
            size_t{count} * kBlockSize < e.recordSize || e.recordSize < rb::kData)
            return Fail<DirectoryBlock>("a directory entry gives " + std::to_string(count) +
                                        " blocks for a record of " + std::to_string(e.recordSize) +
                                        " bytes");
        for (uint32_t i = 0; i < count; ++i)
            e.blocks.push_back(ReadBe32(b, at + db::kBlocks + 4 * size_t{i}));
        const bool more = ReadBe32(b, at + db::kNext) != 0;
        d.entries.push_back(std::move(e));
        at += db::kBlocks + 4 * size_t{count};
        if (!more)
            break;
    }
    Decoded<DirectoryBlock> r;
    r.value = std::move(d);
    return r;
}

Decoded<Record> DecodeRecord(std::span<const uint8_t> bytes, const DirectoryEntry& entry) {
    if (bytes.size() < entry.recordSize || entry.recordSize < rb::kData)
        return Fail<Record>("record " + std::to_string(entry.recordId) + " is cut short");
    const auto r = bytes.first(entry.recordSize);
    if (ReadBe32(r, rb::kMagic) != kRecordMagic)
        return Fail<Record>("record " + std::to_string(entry.recordId) + " has no record magic");
    const uint32_t rev = ReadBe32(r, rb::kRevision);
    if (!RevisionKnown(kRecordRevision64Fn, rev))
        return Fail<Record>("record " + std::to_string(entry.recordId) + " has revision " +
                            Hex(rev));
    // The fiddle, private and user-data words are left out, as the checksum was made.
    const SkipArea skip[] = {{rb::kFiddle, 12}};
    if (Checksum(r, rb::kChecksum, skip) != ReadBe32(r, rb::kChecksum))
        return Fail<Record>("record " + std::to_string(entry.recordId) + "'s checksum is wrong");
    Record rec;
    rec.revision = rev;
    rec.xorPart = ReadBe32(r, rb::kChecksum) ^ ReadBe32(r, rb::kFiddle);
    const size_t dataBytes = std::min<size_t>(entry.requestedSize, r.size() - rb::kData);
    rec.data = r.subspan(rb::kData, dataBytes);
    Decoded<Record> out;
    out.value = rec;
    return out;
}

uint32_t UnitOfDevice(uint32_t dev32) {
    return (dev32 & 0x3ffff) & 0x1fff; // the 18-bit minor; the unit in its low 13 bits
}

Decoded<Unit> DecodeStripeUnit(std::span<const uint8_t> d, bool large) {
    // ms_unit: un_hsp_id, un_nrows, un_ocomp after the common part, then the rows
    // (ms_row: first component, count, blocks, cumulative blocks, interlace); the
    // components (ms_comp: key, device, start block, the shared mirror part with the
    // state) at un_ocomp from the unit's start.
    const UnitLayout& l = large ? kLarge : kSmall;
    auto u = CheckUnit(d, unit::kTypeStripe, UnitKind::Stripe, l.stripeRows, l);
    if (!u.value)
        return u;
    const uint32_t rows = ReadBe32(d, l.common + 4);
    const uint32_t ocomp = ReadBe32(d, l.common + 8);
    if (rows == 0 || rows > (d.size() - l.stripeRows) / l.rowSize)
        return Fail<Unit>("the stripe gives " + std::to_string(rows) + " rows");
    for (uint32_t i = 0; i < rows; ++i) {
        const size_t at = l.stripeRows + l.rowSize * i;
        const uint32_t first = ReadBe32(d, at);
        const uint32_t count = ReadBe32(d, at + 4);
        UnitRow row;
        row.blocks = ReadNumber(d, at + 8, l.wide);
        row.interlace = ReadNumber(d, at + l.rowInterlace, l.wide);
        if (count == 0 || ocomp < l.stripeRows || ocomp > d.size() ||
            first > (d.size() - ocomp) / l.compSize ||
            count > (d.size() - ocomp) / l.compSize - first)
            return Fail<Unit>("row " + std::to_string(i) + " of the stripe names components " +
                              "outside its record");
        for (uint32_t c = 0; c < count; ++c) {
            const size_t ca = ocomp + l.compSize * (size_t{first} + c);
            UnitComponent comp;
            comp.key = ReadBe32(d, ca);
            comp.device = MinorOf(d, ca + l.compDevice, l.wide);
            comp.startBlock = ReadNumber(d, ca + l.compStart, l.wide);
            comp.state = ReadBe32(d, ca + l.compState); // un_mirror.ms_state
            row.components.push_back(comp);
        }
        u.value->rows.push_back(std::move(row));
    }
    return u;
}

Decoded<Unit> DecodeMirrorUnit(std::span<const uint8_t> d, bool large) {
    // mm_unit: un_last_read, un_changecnt, un_nsm after the common part, then four
    // submirrors (mm_submirror: key, device, state, ...).
    constexpr size_t kMostSubmirrors = 4;
    const UnitLayout& l = large ? kLarge : kSmall;
    auto u = CheckUnit(d, unit::kTypeMirror, UnitKind::Mirror,
                       l.submirrors + kSubmirrorSize * kMostSubmirrors, l);
    if (!u.value)
        return u;
    const uint16_t count = ReadBe16(d, l.common + 8);
    if (count == 0 || count > kMostSubmirrors)
        return Fail<Unit>("the mirror gives " + std::to_string(count) + " submirrors");
    UnitRow row;
    for (size_t i = 0; i < kMostSubmirrors && row.components.size() < count; ++i) {
        const size_t at = l.submirrors + kSubmirrorSize * i;
        UnitComponent sm;
        sm.key = ReadBe32(d, at);
        sm.device = MinorOf(d, at + l.submirrorDevice, l.wide);
        sm.state = ReadBe32(d, at + l.submirrorState);
        if (sm.state == 0) // SMS_UNUSED: a slot left by a detached submirror
            continue;
        sm.submirror = UnitOfDevice(sm.device);
        row.components.push_back(sm);
    }
    row.blocks = u.value->blocks;
    u.value->rows.push_back(std::move(row));
    return u;
}

Decoded<Unit> DecodeRaidUnit(std::span<const uint8_t> d, bool large) {
    // mr_unit: un_totalcolumncnt and un_segsize (the interlace) after the common part,
    // then the columns (mr_column: state, ..., un_orig_key, un_dev, un_devstart).
    const UnitLayout& l = large ? kLarge : kSmall;
    auto u = CheckUnit(d, unit::kTypeRaid, UnitKind::Raid5, l.raidColumns, l);
    if (!u.value)
        return u;
    const uint32_t columns = ReadBe32(d, l.raidColumnCount);
    if (columns < 3 || columns > (d.size() - l.raidColumns) / l.columnSize)
        return Fail<Unit>("the RAID-5 set gives " + std::to_string(columns) + " columns");
    UnitRow row;
    row.blocks = u.value->blocks;
    row.interlace = ReadBe32(d, l.raidSegment);
    for (uint32_t i = 0; i < columns; ++i) {
        const size_t at = l.raidColumns + l.columnSize * i;
        UnitComponent c;
        c.state = ReadBe32(d, at);
        c.key = ReadBe32(d, at + l.columnKey);
        c.device = MinorOf(d, at + l.columnDevice, l.wide);
        c.startBlock = ReadNumber(d, at + l.columnStart, l.wide);
        row.components.push_back(c);
    }
    u.value->rows.push_back(std::move(row));
    return u;
}

namespace {

// The entries of a namespace record: a 24-byte header (r_used_size at 8 counts it), then
// entries whose 16-bit length stands at `lengthAt` and whose name or id follows from
// `dataAt`, each padded to 4 bytes. `make(at, data)` turns each entry that fits the record
// (its fields from `at`, its name or id `data`) into one decoded; the first that does not
// fit ends the walk.
template <typename T, typename Make>
std::vector<T> DecodeEntries(std::span<const uint8_t> d, size_t lengthAt, size_t dataAt,
                             Make make) {
    constexpr size_t kHeader = 24;
    const size_t used = std::min<size_t>(ReadBe32(d, 8), d.size());
    std::vector<T> out;
    for (size_t at = kHeader; at + dataAt <= used;) {
        const uint16_t length = ReadBe16(d, at + lengthAt);
        if (length == 0 || at + dataAt + length > used)
            break;
        out.push_back(make(at, d.subspan(at + dataAt, length)));
        at += (dataAt + 1 + length + 3) & ~size_t{3};
    }
    return out;
}

} // namespace

std::vector<Name> DecodeNames(std::span<const uint8_t> d) {
    // nm_name: side, key, count, minor, driver key, directory key, the length, the name.
    return DecodeEntries<Name>(d, 24, 26, [&](size_t at, std::span<const uint8_t> name) {
        return Name{.key = ReadBe32(d, at + 4),
                    .side = ReadBe32(d, at),
                    .minor = ReadBe32(d, at + 12),
                    .name = std::string(name.begin(), std::find(name.begin(), name.end(), 0))};
    });
}

std::vector<DeviceIdName> DecodeDeviceIdNames(std::span<const uint8_t> d) {
    // did_min_name (devid_min_rec): side, key, count, the id's key, the length, the minor
    // name.
    return DecodeEntries<DeviceIdName>(d, 16, 18, [&](size_t at, std::span<const uint8_t>) {
        return DeviceIdName{ReadBe32(d, at + 4), ReadBe32(d, at), ReadBe32(d, at + 12)};
    });
}

std::vector<StoredDeviceId> DecodeDeviceIds(std::span<const uint8_t> d) {
    // did_shr_name (devid_shr_rec): key, count, data, the size, the id.
    return DecodeEntries<StoredDeviceId>(d, 12, 14, [&](size_t at, std::span<const uint8_t> id) {
        return StoredDeviceId{.key = ReadBe32(d, at), .bytes = {id.begin(), id.end()}};
    });
}

} // namespace trevik::svm
