#include "svm_builder.h"

#include "disk_image.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace trevik::imagebuilder {
namespace {

constexpr size_t kSector = 512;

std::vector<uint8_t> Padded(const std::vector<uint8_t>& v, size_t multiple) {
    std::vector<uint8_t> out = v;
    out.resize((out.size() + multiple - 1) / multiple * multiple, 0);
    return out;
}

} // namespace

std::vector<std::vector<uint8_t>> SplitIntoComponents(const std::vector<uint8_t>& volume,
                                                      const SvmSpec& spec) {
    const size_t n = spec.components;
    const size_t start = size_t{spec.startSector} * kSector;
    if (n == 0 || (spec.kind != SvmKind::Concat && spec.kind != SvmKind::Mirror && n < 2) ||
        (spec.kind == SvmKind::Raid5 && n < 3))
        throw std::runtime_error("too few components");
    std::vector<std::vector<uint8_t>> out(n);

    if (spec.kind == SvmKind::Mirror) {
        for (auto& c : out) {
            c.assign(start, 0);
            c.insert(c.end(), volume.begin(), volume.end());
        }
        return out;
    }
    if (spec.kind == SvmKind::Concat) {
        // Parts of weights 1, 2, ..., n sectors apart: no two components alike.
        const std::vector<uint8_t> v = Padded(volume, kSector);
        const size_t sectors = v.size() / kSector;
        const size_t weights = n * (n + 1) / 2;
        size_t at = 0;
        for (size_t i = 0; i < n; ++i) {
            size_t len = i + 1 == n ? sectors - at : sectors * (i + 1) / weights;
            out[i].assign(start, 0);
            out[i].insert(out[i].end(), v.begin() + at * kSector, v.begin() + (at + len) * kSector);
            at += len;
        }
        return out;
    }
    const size_t chunk = size_t{spec.interlaceSectors} * kSector;
    if (spec.kind == SvmKind::Stripe) {
        // Chunk k of the stripe goes to component k mod n, after the k div n chunks that
        // component already holds.
        const std::vector<uint8_t> v = Padded(volume, chunk * n);
        for (auto& c : out)
            c.assign(start + v.size() / n, 0);
        for (size_t k = 0; k * chunk < v.size(); ++k)
            std::memcpy(out[k % n].data() + start + (k / n) * chunk, v.data() + k * chunk, chunk);
        return out;
    }
    // RAID-5: line l keeps its parity on column (l + n - 1) mod n and its n - 1 data
    // segments on the columns after that one, in turn round the set; the parity is the XOR
    // of the line's data.
    const std::vector<uint8_t> v = Padded(volume, chunk * (n - 1));
    const size_t lines = v.size() / (chunk * (n - 1));
    for (auto& c : out)
        c.assign(start + lines * chunk, 0);
    for (size_t l = 0; l < lines; ++l) {
        const size_t parity = (l + n - 1) % n;
        uint8_t* p = out[parity].data() + start + l * chunk;
        for (size_t k = 0; k + 1 < n; ++k) {
            const size_t column = (parity + 1 + k) % n;
            const uint8_t* seg = v.data() + (l * (n - 1) + k) * chunk;
            std::memcpy(out[column].data() + start + l * chunk, seg, chunk);
            for (size_t i = 0; i < chunk; ++i)
                p[i] ^= seg[i];
        }
    }
    return out;
}

namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

// md_crc.c's CRC: polynomial 0x04c11db7 most significant bit first, seeded with 987654,
// over the bytes but the checksum word and the ranges skipped.
uint32_t MdCrc(const std::vector<uint8_t>& b, size_t from, size_t length, size_t checksumAt,
               size_t skipFrom = 0, size_t skipLength = 0) {
    uint32_t crc = 987654;
    for (size_t i = from; i < from + length; ++i) {
        if (i >= checksumAt && i < checksumAt + 4)
            continue;
        if (skipLength != 0 && i >= skipFrom && i < skipFrom + skipLength)
            continue;
        uint32_t v = ((crc >> 24) ^ b[i]) << 24;
        for (int k = 0; k < 8; ++k)
            v = (v & 0x80000000u) ? (v << 1) ^ 0x04c11db7u : v << 1;
        crc = (crc << 8) ^ v;
    }
    return crc;
}

constexpr uint32_t kMdMajor = 85; // the md driver's major number on SPARC

void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    Put32(b, at, static_cast<uint32_t>(v >> 32));
    Put32(b, at + 4, static_cast<uint32_t>(v));
}

// Where the unit structures keep their fields as a SPARC compiler lays them out: the
// layout for metadevices under 1 TB (mdc_unit32_od_t and the *32_od structures, 32-bit
// block numbers and dev32 device numbers) and the one for larger ones (mdc_unit_t and the
// in-core structures, 64-bit block numbers and md_dev64_t, 8-byte aligned).
struct Layout {
    bool large;
    size_t common, parent;
    size_t rows, rowSize, compSize, compState;
    size_t submirrors;
    size_t raidColumns, columnSize;
};
constexpr Layout kSmallUnits{false, 80, 68, 92, 20, 56, 24, 92, 212, 76};
constexpr Layout kLargeUnits{true, 88, 80, 104, 32, 72, 28, 104, 216, 128};

// A block number or a device number: 32 bits in the small layout, 64 in the large.
void PutNumber(std::vector<uint8_t>& b, size_t at, uint64_t v, const Layout& l) {
    if (l.large)
        Put64(b, at, v);
    else
        Put32(b, at, static_cast<uint32_t>(v));
}
// A device number: major and minor, 14 and 18 bits of a dev32 or 32 and 32 of a dev64.
uint64_t Device(uint32_t major, uint32_t minor, const Layout& l) {
    return l.large ? (uint64_t{major} << 32) | minor : (uint64_t{major} << 18) | minor;
}

// The common unit part.
void PutUnitHeader(std::vector<uint8_t>& d, uint32_t type, const ReplicaUnit& u, const Layout& l) {
    Put32(d, 8, type);
    Put32(d, 24, u.unit); // un_self_id: the minor number
    Put32(d, 32, static_cast<uint32_t>(d.size()));
    PutNumber(d, 40, u.blocks, l);                // un_total_blocks
    PutNumber(d, l.large ? 48 : 44, u.blocks, l); // un_actual_tb
    Put32(d, l.parent, u.parent);                 // un_parent
}

} // namespace

std::vector<uint8_t> ReplicaMasterBlock(uint32_t blocks, uint32_t time) {
    std::vector<uint8_t> b(kSector, 0);
    Put32(b, 0, 0x6d646d62);  // mb_magic
    Put32(b, 4, 0x0201);      // mb_revision
    Put32(b, 20, time);       // mb_timestamp
    Put32(b, 28, blocks - 1); // mb_blkcnt: the blocks after the master block
    Put32(b, 32, 16);         // mb_blkno
    Put32(b, 76, blocks - 1); // mb_blkmap: one run of them, from the next block
    Put32(b, 80, 17);
    Put32(b, 8, MdCrc(b, 0, kSector, 8));
    return b;
}

std::vector<uint8_t> ReplicaBytes(const ReplicaSpec& spec) {
    // Logical blocks: 0-2 the locator block, 3 the directory block, then the records.
    std::vector<uint8_t> logical(size_t{spec.blocks - 1} * kSector, 0);
    struct Rec {
        uint32_t type1, type2, flags;
        std::vector<uint8_t> data;
    };
    std::vector<Rec> recs;

    // The namespace: each component's name under a key of its own.
    std::vector<std::string> names;
    auto keyOf = [&](const std::string& n) {
        auto at = std::find(names.begin(), names.end(), n);
        if (at == names.end()) {
            names.push_back(n);
            return static_cast<uint32_t>(names.size());
        }
        return static_cast<uint32_t>(at - names.begin() + 1);
    };
    for (const ReplicaUnit& u : spec.units)
        for (const auto& row : u.rows)
            for (const ReplicaComponent& c : row)
                keyOf(c.name);
    {
        std::vector<uint8_t> d(24, 0);
        for (size_t i = 0; i < names.size(); ++i) {
            const size_t at = d.size();
            const size_t len = names[i].size() + 1;
            d.resize(at + ((27 + len + 3) & ~size_t{3}), 0);
            Put32(d, at + 4, static_cast<uint32_t>(i + 1)); // n_key
            Put32(d, at + 8, 1);                            // n_count
            Put16(d, at + 24, static_cast<uint16_t>(len));
            std::memcpy(d.data() + at + 26, names[i].c_str(), len);
        }
        Put32(d, 0, 1);
        Put32(d, 4, static_cast<uint32_t>(d.size()));
        Put32(d, 8, static_cast<uint32_t>(d.size())); // r_used_size, the header counted
        Put32(d, 20, static_cast<uint32_t>(names.size() + 1));
        recs.push_back({2, 0, 0, std::move(d)}); // MDDB_NM
    }

    // The device id namespace: a minor-name entry a key (did_min_name, pointing at its
    // id's key) and each distinct id once (did_shr_name).
    {
        std::vector<std::vector<uint8_t>> ids(names.size());
        for (const ReplicaUnit& u : spec.units)
            for (const auto& row : u.rows)
                for (const ReplicaComponent& c : row)
                    if (!c.deviceId.empty())
                        ids[keyOf(c.name) - 1] = c.deviceId;
        std::vector<std::vector<uint8_t>> distinct;
        std::vector<uint8_t> minors(24, 0), shared(24, 0);
        for (size_t i = 0; i < ids.size(); ++i) {
            if (ids[i].empty())
                continue;
            auto at = std::find(distinct.begin(), distinct.end(), ids[i]);
            if (at == distinct.end()) {
                distinct.push_back(ids[i]);
                at = distinct.end() - 1;
                const size_t sa = shared.size();
                shared.resize(sa + ((15 + ids[i].size() + 3) & ~size_t{3}), 0);
                Put32(shared, sa, static_cast<uint32_t>(distinct.size())); // did_key
                Put32(shared, sa + 4, 1);                                  // did_count
                Put16(shared, sa + 12, static_cast<uint16_t>(ids[i].size()));
                std::memcpy(shared.data() + sa + 14, ids[i].data(), ids[i].size());
            }
            const std::string minor = ",a"; // slice 0's minor name; not read
            const size_t ma = minors.size();
            minors.resize(ma + ((19 + minor.size() + 1 + 3) & ~size_t{3}), 0);
            Put32(minors, ma + 4, static_cast<uint32_t>(i + 1)); // min_key
            Put32(minors, ma + 8, 1);                            // min_count
            Put32(minors, ma + 12, static_cast<uint32_t>(at - distinct.begin() + 1));
            Put16(minors, ma + 16, static_cast<uint16_t>(minor.size() + 1));
            std::memcpy(minors.data() + ma + 18, minor.c_str(), minor.size() + 1);
        }
        if (!distinct.empty()) {
            for (auto* r : {&minors, &shared}) {
                Put32(*r, 0, 1);
                Put32(*r, 4, static_cast<uint32_t>(r->size()));
                Put32(*r, 8, static_cast<uint32_t>(r->size()));
            }
            recs.push_back({7, 0, 0, std::move(minors)}); // MDDB_DID_NM
            recs.push_back({8, 0, 0, std::move(shared)}); // MDDB_DID_SHR_NM
        }
    }

    const Layout& l = spec.large ? kLargeUnits : kSmallUnits;
    for (const ReplicaUnit& u : spec.units) {
        std::vector<uint8_t> d;
        if (u.kind == SvmKind::Mirror) {
            d.assign(l.submirrors + 88 * 4 + 120, 0);
            PutUnitHeader(d, 2, u, l);
            Put16(d, l.common + 8, static_cast<uint16_t>(u.submirrors.size())); // un_nsm
            for (size_t i = 0; i < u.submirrors.size(); ++i) {
                const size_t at = l.submirrors + 88 * i; // mm_submirror: 88 bytes in both
                const size_t dev = l.large ? 8 : 4;
                PutNumber(d, at + dev, Device(kMdMajor, u.submirrors[i], l), l); // sm_dev
                Put32(d, at + dev + (l.large ? 8 : 4), 1); // sm_state: SMS_RUNNING
            }
            recs.push_back({1001, 1, 0x2, std::move(d)});
            continue;
        }
        if (u.kind == SvmKind::Raid5) {
            const auto& cols = u.rows.at(0);
            d.assign(l.raidColumns + l.columnSize * cols.size(), 0);
            PutUnitHeader(d, 4, u, l);
            const size_t counts = l.large ? 108 : 100; // un_origcolumncnt, un_totalcolumncnt
            Put32(d, counts, static_cast<uint32_t>(cols.size()));
            Put32(d, counts + 4, static_cast<uint32_t>(cols.size()));
            Put32(d, counts + 12, u.interlace); // un_segsize
            for (size_t i = 0; i < cols.size(); ++i) {
                const size_t at = l.raidColumns + l.columnSize * i;
                const uint32_t key = keyOf(cols[i].name);
                Put32(d, at, cols[i].state == 1 ? 0x2 : cols[i].state); // RCS_OKAY
                if (l.large) {
                    Put64(d, at + 48, Device(32, key, l)); // un_orig_dev
                    Put32(d, at + 56, key);                // un_orig_key
                    Put64(d, at + 64, cols[i].startBlock); // un_orig_pwstart
                    Put64(d, at + 72, cols[i].startBlock); // un_orig_devstart
                    Put64(d, at + 80, Device(32, key, l)); // un_dev
                    Put64(d, at + 88, cols[i].startBlock); // un_pwstart
                    Put64(d, at + 96, cols[i].startBlock); // un_devstart
                } else {
                    Put32(d, at + 40, key);                       // un_orig_key
                    Put32(d, at + 52, key);                       // un_dev
                    PutNumber(d, at + 56, cols[i].startBlock, l); // un_pwstart
                    PutNumber(d, at + 60, cols[i].startBlock, l); // un_devstart
                }
            }
            recs.push_back({1002, 0, 0x4, std::move(d)});
            continue;
        }
        size_t comps = 0;
        for (const auto& row : u.rows)
            comps += row.size();
        const size_t ocomp = l.rows + l.rowSize * u.rows.size();
        d.assign(ocomp + l.compSize * comps, 0);
        PutUnitHeader(d, 1, u, l);
        Put32(d, l.common, 0xffffffff); // no hot spare pool
        Put32(d, l.common + 4, static_cast<uint32_t>(u.rows.size()));
        Put32(d, l.common + 8, static_cast<uint32_t>(ocomp));
        uint32_t first = 0;
        uint64_t cumulative = 0;
        for (size_t r = 0; r < u.rows.size(); ++r) {
            const size_t at = l.rows + l.rowSize * r;
            const size_t w = l.large ? 8 : 4;
            cumulative += u.rowBlocks.at(r);
            Put32(d, at, first);
            Put32(d, at + 4, static_cast<uint32_t>(u.rows[r].size()));
            PutNumber(d, at + 8, u.rowBlocks[r], l);
            PutNumber(d, at + 8 + w, cumulative, l);
            PutNumber(d, at + 8 + 2 * w, u.rows[r].size() > 1 ? u.interlace : 0, l);
            for (const ReplicaComponent& c : u.rows[r]) {
                const size_t ca = ocomp + l.compSize * first++;
                Put32(d, ca, keyOf(c.name));
                PutNumber(d, ca + w, Device(32, keyOf(c.name), l), l); // its own device number
                PutNumber(d, ca + 2 * w, c.startBlock, l);
                Put32(d, ca + l.compState, c.state); // un_mirror.ms_state
            }
        }
        recs.push_back({1000, 0, 0x1, std::move(d)});
    }

    // The directory block: one entry a record, each record in the blocks after the last.
    std::vector<uint8_t> dir(kSector, 0);
    uint32_t next = 4;
    uint32_t sum = 0;
    size_t at = 40;
    for (size_t i = 0; i < recs.size(); ++i) {
        const size_t bytes = 40 + recs[i].data.size();
        const auto count = static_cast<uint32_t>((bytes + kSector - 1) / kSector);
        const size_t rb = size_t{next} * kSector;
        if (rb + count * kSector > logical.size() || at + 52 + 4 * count > kSector)
            throw std::runtime_error("the replica is too small for its records");
        Put32(logical, rb, 0x6d647262); // rb_magic
        // MDDB_REV_RB, or MDDB_REV_RB64 for the records of metadevices of 1 TB and more.
        Put32(logical, rb + 4, spec.large && recs[i].type1 >= 1000 ? 0x0201 : 0x0200);
        Put32(logical, rb + 24, spec.commitCount);
        Put32(logical, rb + 32, spec.time);
        std::memcpy(logical.data() + rb + 40, recs[i].data.data(), recs[i].data.size());
        const uint32_t crc = MdCrc(logical, rb, count * kSector, rb + 8, rb + 12, 12);
        Put32(logical, rb + 8, crc);
        sum ^= crc;
        Put32(dir, at, i + 1 < recs.size() ? 1 : 0); // de32_next
        Put32(dir, at + 8, static_cast<uint32_t>(i + 1));
        Put32(dir, at + 12, recs[i].type1);
        Put32(dir, at + 16, recs[i].type2);
        Put32(dir, at + 20, static_cast<uint32_t>(recs[i].data.size()));
        Put32(dir, at + 24, count * static_cast<uint32_t>(kSector));
        Put32(dir, at + 28, count);
        Put32(dir, at + 32, recs[i].flags);
        for (uint32_t k = 0; k < count; ++k)
            Put32(dir, at + 52 + 4 * k, next + k);
        at += 52 + 4 * count;
        next += count;
    }
    Put32(dir, 0, 0x6d646462); // db_magic
    Put32(dir, 4, 0x0201);
    Put32(dir, 12, 3); // db_blknum
    Put32(dir, 24, spec.time);
    Put32(dir, 32, 1234567890u ^ sum); // db_recsum: the set-wide XOR comes to zero
    Put32(dir, 36, recs.empty() ? 0 : 4);
    Put32(dir, 8, MdCrc(dir, 0, kSector, 8));
    std::memcpy(logical.data() + 3 * kSector, dir.data(), kSector);

    // The locator block: three blocks, this one replica, the directory at block 3.
    std::vector<uint8_t> lb(3 * kSector, 0);
    Put32(lb, 0, 0x6d646c62);
    Put32(lb, 4, 0x0500);
    Put32(lb, 12, spec.commitCount);
    Put32(lb, 16, spec.time);
    Put32(lb, 24, 1);
    Put32(lb, 92, spec.time); // lb_inittime
    Put32(lb, 104, 3);        // lb_blkcnt
    Put32(lb, 116, 3);        // lb_dbfirstblk
    Put32(lb, 292 + 4, 16);   // the replica's locator: at block 16
    Put32(lb, 292 + 8, 0x1);  // MDDB_F_ACTIVE
    Put32(lb, 8, MdCrc(lb, 0, lb.size(), 8));
    std::memcpy(logical.data(), lb.data(), lb.size());

    std::vector<uint8_t> out = ReplicaMasterBlock(spec.blocks, spec.time);
    out.insert(out.end(), logical.begin(), logical.end());
    return out;
}

std::vector<uint8_t> EncodeDeviceId(uint16_t type, const std::string& driver,
                                    const std::vector<uint8_t>& id) {
    std::vector<uint8_t> d(12, 0);
    d[0] = 'i';
    d[1] = 'd';
    d[3] = 1;
    Put16(d, 4, type);
    Put16(d, 6, static_cast<uint16_t>(id.size()));
    std::memcpy(d.data() + 8, driver.data(), std::min<size_t>(driver.size(), 4));
    d.insert(d.end(), id.begin(), id.end());
    return d;
}

std::vector<uint8_t> DeviceIdBlock(const std::vector<uint8_t>& deviceId) {
    std::vector<uint8_t> b(kSector, 0);
    if (deviceId.size() > 505)
        throw std::runtime_error("a device id too long for its block");
    b[1] = 1; // revision 0.1
    std::memcpy(b.data() + 3, deviceId.data(), deviceId.size());
    uint32_t sum = 0;
    for (size_t at = 0; at < kSector - 4; at += 4)
        sum ^= (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
               b[at + 3];
    Put32(b, kSector - 4, sum);
    return b;
}

ComponentDiskImage ComponentDisk(const std::vector<uint8_t>& component,
                                 const std::vector<uint8_t>& replica,
                                 const std::vector<uint8_t>& deviceId) {
    constexpr uint32_t kCylinder = kComponentDiskHeads * kComponentDiskSectors;
    const auto sectors = static_cast<uint32_t>((component.size() + kSector - 1) / kSector);
    const uint32_t dataCylinders = (sectors + kCylinder - 1) / kCylinder;
    if ((16 + replica.size() / kSector) > kComponentDiskReplicaCylinders * kCylinder)
        throw std::runtime_error("the replica does not fit its slice");
    LabelSpec label;
    label.heads = kComponentDiskHeads;
    label.sectorsPerTrack = kComponentDiskSectors;
    label.cylinders = kComponentDiskReplicaCylinders + dataCylinders;
    label.slices = {{0, 4, 0, kComponentDiskReplicaCylinders, dataCylinders * kCylinder},
                    {7, 0, 0x1, 0, kComponentDiskReplicaCylinders * kCylinder}};
    DiskImage disk(uint64_t{label.cylinders + 2} * kCylinder);
    disk.PutLabel(label);
    disk.PutBytes(16 * kSector, replica);
    disk.PutBytes(uint64_t{kComponentDiskReplicaCylinders} * kCylinder * kSector, component);
    // The last track but one sector of the next-to-last cylinder (no alternates per
    // cylinder), as cmlb places it.
    const uint64_t idSector = uint64_t{label.cylinders} * kCylinder +
                              uint64_t{kComponentDiskHeads - 1} * kComponentDiskSectors + 1;
    if (!deviceId.empty())
        disk.PutBytes(idSector * kSector, DeviceIdBlock(deviceId));
    return {std::move(disk.bytes), idSector};
}

} // namespace trevik::imagebuilder
