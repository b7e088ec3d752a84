#pragma once

// The Solaris Volume Manager state database as a replica holds it on disk (illumos
// sys/lvm/md_mddb.h, md_names.h, md_stripe.h, md_mirror.h, md_raid.h; big-endian on
// SPARC). A replica starts with its master block at block 16 of the slice; the master
// block maps the replica's logical blocks to the slice's; logical block 0 holds the
// locator block, which points to the first directory block; directory entries name the
// blocks of each record: the metadevices' unit structures and the namespace that gives
// their components' names. Every block and record carries a CRC (md_crc.c).
//
// The units are read in both layouts Solaris keeps them in: the one for metadevices
// under 1 TB and the one for larger ones. Decoding is bounded by the buffers given: a damaged count
// or offset yields an error, never a read outside them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace trevik::svm {

inline constexpr uint64_t kMasterBlockSector = 16;
inline constexpr uint32_t kBlockSize = 512;
inline constexpr uint32_t kMasterMagic = 0x6d646d62;    // "mdmb"
inline constexpr uint32_t kDirectoryMagic = 0x6d646462; // "mddb"
inline constexpr uint32_t kRecordMagic = 0x6d647262;    // "mdrb"
inline constexpr uint32_t kLocatorMagic = 0x6d646c62;   // "mdlb"
inline constexpr uint32_t kMasterRevision = 0x0201;
inline constexpr uint32_t kMasterRevisionMultiNode = 0x0202;
inline constexpr uint32_t kLocatorRevision = 0x0500;
inline constexpr uint32_t kDirectoryRevision = 0x0201;
inline constexpr uint32_t kRecordRevision32 = 0x0200;   // MDDB_REV_RB
inline constexpr uint32_t kRecordRevision64 = 0x0201;   // MDDB_REV_RB64
inline constexpr uint32_t kRecordRevision32Fn = 0x0202; // friendly names
inline constexpr uint32_t kRecordRevision64Fn = 0x0203;
inline constexpr uint32_t kGlobalXor = 1234567890;
inline constexpr uint32_t kLocatorMaxBlocks = 8; // the largest local-set locator block

// Record types (de_type1) and flags (de_flags) the reader uses.
inline constexpr uint32_t kTypeNames = 2;          // MDDB_NM
inline constexpr uint32_t kTypeDeviceIdNames = 7;  // MDDB_DID_NM: key to device id key
inline constexpr uint32_t kTypeDeviceIds = 8;      // MDDB_DID_SHR_NM: the device ids
inline constexpr uint32_t kTypeFirstDriver = 1000; // MDDB_FIRST_MODID
inline constexpr uint32_t kFlagStripe = 0x1;
inline constexpr uint32_t kFlagMirror = 0x2;
inline constexpr uint32_t kFlagRaid = 0x4;
inline constexpr uint32_t kFlagSoftPartition = 0x8;
inline constexpr uint32_t kFlagTransMaster = 0x10;
inline constexpr uint32_t kFlagOptimized = 0x200;

// The CRC of the state database: CRC-32 with polynomial 0x04C11DB7, not reflected, seeded
// with 987654, over `bytes` without the 4-byte checksum at `resultAt` and without the
// areas in `skip` (offset, length), ascending.
struct SkipArea {
    size_t offset = 0;
    size_t size = 0;
};
uint32_t Checksum(std::span<const uint8_t> bytes, size_t resultAt,
                  std::span<const SkipArea> skip = {});

struct MasterBlock {
    uint32_t revision = 0;
    uint32_t timestamp = 0;   // seconds of mb_timestamp
    uint32_t blockCount = 0;  // logical blocks of the replica (mb_blkcnt)
    uint32_t blockNumber = 0; // where this master block stands (mb_blkno)
    uint32_t setNumber = 0;   // 0: the local set
    uint32_t firstBlock = 0;  // the physical block of logical block 0 (mb_blkmap)
    uint32_t consecutive = 0; // logical blocks mapped from there
    uint32_t nextBlock = 0;   // another master block, for a replica in pieces (not read)
    bool checksumOk = false;
};

// Decodes the sector at block 16 of a slice: the magic, a known revision, and the block
// number the master block records for itself. Empty when it is none. A wrong checksum
// still decodes (the slice is a replica's) with checksumOk false.
std::optional<MasterBlock> DecodeMasterBlock(std::span<const uint8_t> sector);

struct LocatorBlock {
    uint32_t blockCount = 0; // of the locator block itself
    uint32_t firstDirectoryBlock = 0;
    uint32_t setNumber = 0;
    uint32_t replicas = 0; // lb_loccnt
    uint32_t commitCount = 0;
};

template <typename T> struct Decoded {
    std::optional<T> value;
    std::string error; // when value is empty
};

// The locator block from the replica's first logical blocks (at least the count it
// records; the first block is enough to learn it).
Decoded<LocatorBlock> DecodeLocatorBlock(std::span<const uint8_t> blocks);
// How many blocks the locator block at the start of `first` says it has (0: not one).
uint32_t LocatorBlockCount(std::span<const uint8_t> first);

struct DirectoryEntry {
    uint32_t recordId = 0;
    uint32_t type1 = 0;
    uint32_t type2 = 0;
    uint32_t requestedSize = 0; // the record's data bytes
    uint32_t recordSize = 0;    // the record block's bytes, header included
    uint32_t flags = 0;
    std::vector<uint32_t> blocks; // logical blocks of the record, in order
};

struct DirectoryBlock {
    uint32_t nextBlock = 0; // 0: the last
    uint32_t recordSum = 0; // db_recsum, for the set-wide XOR check
    std::vector<DirectoryEntry> entries;
};

Decoded<DirectoryBlock> DecodeDirectoryBlock(std::span<const uint8_t> block);

// A record block read from its entry's blocks (recordSize bytes): magic, revision and
// checksum checked. The value is the record's checksum and fiddle XORed (for the set-wide
// check), `data` the user data that follows the 40-byte header.
struct Record {
    uint32_t revision = 0;
    uint32_t xorPart = 0;
    std::span<const uint8_t> data;
};
Decoded<Record> DecodeRecord(std::span<const uint8_t> bytes, const DirectoryEntry& entry);

// Components' states as the stripe records them (comp_state_t) and submirrors' (sm_state_t).
inline constexpr uint32_t kComponentOkay = 0x1;
inline constexpr uint32_t kComponentErred = 0x2;
inline constexpr uint32_t kComponentResync = 0x4;
inline constexpr uint32_t kComponentLastErred = 0x8;
inline constexpr uint32_t kSubmirrorRunning = 0x1;

enum class UnitKind { Stripe, Mirror, Raid5 };

struct UnitComponent {
    uint32_t key = 0;        // namespace key of its device
    uint32_t device = 0;     // dev32 (for a submirror: the submirror's)
    uint64_t startBlock = 0; // where its data begins on the device
    uint32_t state = 0;      // comp_state_t, sm_state_t or rcs_state_t
    uint32_t submirror = 0;  // a mirror's submirror: its unit number
};

struct UnitRow {
    uint64_t blocks = 0;
    uint64_t interlace = 0; // blocks from each component in turn; 0 for one component
    std::vector<UnitComponent> components;
};

struct Unit {
    UnitKind kind = UnitKind::Stripe;
    uint32_t unitNumber = 0; // d<unitNumber>
    uint32_t setNumber = 0;
    uint64_t blocks = 0;          // un_total_blocks
    std::vector<UnitRow> rows;    // a stripe: its rows; a mirror or RAID-5: one row
    uint32_t parent = 0xffffffff; // a submirror's mirror (md_parent_t), or none
};

// A unit number from a metadevice's dev32 minor number (the set in its high bits).
uint32_t UnitOfDevice(uint32_t dev32);

// A stripe or concatenation (ms_unit), a mirror (mm_unit) or a RAID-5 set (mr_unit) from a
// record's data: in the layout kept for metadevices under 1 TB (the "32-bit on-disk"
// structures, record revisions 0x200 and 0x202) or, `large`, in the one for larger ones
// (revisions 0x201 and 0x203: block and device numbers 64-bit).
Decoded<Unit> DecodeStripeUnit(std::span<const uint8_t> data, bool large = false);
Decoded<Unit> DecodeMirrorUnit(std::span<const uint8_t> data, bool large = false);
Decoded<Unit> DecodeRaidUnit(std::span<const uint8_t> data, bool large = false);

// The device names of a namespace record (nm_rec): key to name ("c1t1d0s0").
struct Name {
    uint32_t key = 0;
    uint32_t side = 0;
    uint32_t minor = 0;
    std::string name;
};
std::vector<Name> DecodeNames(std::span<const uint8_t> data);

// The device id namespace: a record (devid_min_rec) giving, for each key of the names
// above, the key of its device's id, and a record (devid_shr_rec) holding the ids under
// those keys. Entries that do not fit the record end the list.
struct DeviceIdName {
    uint32_t key = 0;
    uint32_t side = 0;
    uint32_t deviceIdKey = 0;
};
std::vector<DeviceIdName> DecodeDeviceIdNames(std::span<const uint8_t> data);
struct StoredDeviceId {
    uint32_t key = 0;
    std::vector<uint8_t> bytes; // the encoded id (impl_devid)
};
std::vector<StoredDeviceId> DecodeDeviceIds(std::span<const uint8_t> data);

} // namespace trevik::svm
