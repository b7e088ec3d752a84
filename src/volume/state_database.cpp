#include "volume/state_database.h"

#include "disk/block_device.h"
#include "volume/disk_label.h"
#include "volume/layout_guess.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <numeric>
#include <set>

namespace trevik {
namespace {

// The replica's logical blocks as the master block maps them.
class ReplicaBlocks {
public:
    ReplicaBlocks(SectorReader& reader, uint64_t sliceStart, const svm::MasterBlock& m)
        : reader_(reader), first_(sliceStart + m.firstBlock),
          count_(std::min(m.blockCount, m.consecutive)) {}

    uint32_t Count() const { return count_; }

    // Logical blocks `blocks`, in order, into one buffer. The error names the first that
    // lies outside the replica or cannot be read.
    Result<std::vector<uint8_t>> Read(std::span<const uint32_t> blocks) {
        std::vector<uint8_t> out(blocks.size() * svm::kBlockSize);
        for (size_t i = 0; i < blocks.size(); ++i) {
            if (blocks[i] >= count_)
                return Error{"block " + std::to_string(blocks[i]) +
                             " lies outside the replica of " + std::to_string(count_) + " blocks"};
            std::span<uint8_t> b(out.data() + i * svm::kBlockSize, svm::kBlockSize);
            if (!reader_.Read(first_ + blocks[i], b).Whole())
                return Error{"block " + std::to_string(blocks[i]) + " of the replica (sector " +
                             std::to_string(first_ + blocks[i]) + ") cannot be read"};
        }
        return out;
    }
    Result<std::vector<uint8_t>> ReadRun(uint32_t first, uint32_t n) {
        std::vector<uint32_t> b(n);
        std::iota(b.begin(), b.end(), first);
        return Read(b);
    }

private:
    SectorReader& reader_;
    uint64_t first_;
    uint32_t count_;
};

std::string SizeText(uint64_t blocks) {
    const double bytes = static_cast<double>(blocks) * 512.0;
    const char* unit = "MB";
    double v = bytes / 1e6;
    if (bytes >= 1e12) {
        unit = "TB";
        v = bytes / 1e12;
    } else if (bytes >= 1e9) {
        unit = "GB";
        v = bytes / 1e9;
    }
    char text[32];
    std::snprintf(text, sizeof text, v < 10 ? "%.1f %s" : "%.0f %s", v, unit);
    return text;
}

const char* ComponentStateText(svm::UnitKind kind, uint32_t state) {
    if (kind == svm::UnitKind::Mirror)
        return state & svm::kSubmirrorRunning ? "Okay"
               : state & 0x20                 ? "Offline"
                                              : "Needs maintenance";
    if (kind == svm::UnitKind::Raid5) // rcs_state_t
        return state == 0x2    ? "Okay"
               : state == 0x1  ? "Initializing"
               : state == 0x10 ? "Resyncing"
                               : "Needs maintenance";
    switch (state) {
    case svm::kComponentOkay:
        return "Okay";
    case svm::kComponentResync:
        return "Resyncing";
    case svm::kComponentLastErred:
        return "Last Erred";
    default:
        return "Maintenance";
    }
}

const svm::Unit* FindUnit(const StateDatabase& db, uint32_t number) {
    for (const svm::Unit& u : db.units)
        if (u.unitNumber == number)
            return &u;
    return nullptr;
}

// A disk name and slice number from a component's name: "c1t1d0s0" is slice 0 of c1t1d0.
struct ComponentName {
    std::string disk;
    int slice = -1;
};
ComponentName SplitComponentName(const std::string& name) {
    ComponentName c{name, -1};
    const size_t s = name.find_last_of('s');
    if (s == std::string::npos || s == 0 || s + 1 >= name.size() || name.size() - s > 4)
        return c;
    int n = 0;
    for (size_t i = s + 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return c;
        n = n * 10 + (name[i] - '0');
    }
    return {name.substr(0, s), n};
}

struct OpenDisk {
    DiskSource source;
    std::unique_ptr<BlockDevice> device;
    std::unique_ptr<SectorReader> reader;
    VolumeTable table;
    bool labelled = false;
    std::optional<devid::DeviceId> storedId; // the id the disk keeps on itself
    std::string wwid;                        // the id Linux knows a real disk by
};

// Whether the disk is the device `recorded` (an encoded id from the state database) names.
bool IsDevice(const OpenDisk& d, const std::vector<uint8_t>& recorded) {
    if (d.storedId && d.storedId->raw == recorded)
        return true;
    if (d.wwid.empty())
        return false;
    const auto id = devid::DecodeDeviceId(recorded);
    return id && devid::SameDeviceAsWwid(*id, d.wwid);
}

// The first sector of slice `slice` on the disk: its label's slice, or the image's start
// when the image has no label (an image of the slice itself).
std::optional<uint64_t> SliceStart(const OpenDisk& d, int slice) {
    if (!d.labelled)
        return 0;
    if (slice < 0)
        return std::nullopt;
    for (const PartitionEntry& e : d.table.Entries())
        if (e.label == LabelKind::Vtoc || e.label == LabelKind::Efi)
            if (e.slice == slice)
                return e.startSector;
    return std::nullopt;
}

// A metadevice as a tree: a node puts its parts together; a leaf is one slice (its place
// in the flat list of the metadevice's slices). A mirror's halves and a concatenation's
// rows may themselves be stripes.
struct Shape {
    LayoutKind kind = LayoutKind::Concat;
    uint64_t interlace = 0;
    uint64_t sectors = 0; // what the node above uses of it (0: all)
    int leaf = -1;
    std::vector<Shape> parts;
};

Shape Leaf(const svm::UnitComponent& c, uint64_t sectors, std::vector<svm::UnitComponent>& slices) {
    Shape s;
    s.leaf = static_cast<int>(slices.size());
    s.sectors = sectors;
    slices.push_back(c);
    return s;
}

// A stripe unit: one row of several slices is a stripe; rows one after the other are a
// concatenation, each row one slice or a stripe of its own.
Shape StripeShape(const svm::Unit& u, std::vector<svm::UnitComponent>& slices) {
    auto row = [&](const svm::UnitRow& r, uint64_t sectors) {
        if (r.components.size() == 1)
            return Leaf(r.components[0], r.blocks, slices);
        Shape s;
        s.kind = LayoutKind::Stripe;
        s.interlace = r.interlace;
        s.sectors = sectors;
        for (const svm::UnitComponent& c : r.components)
            s.parts.push_back(Leaf(c, 0, slices));
        return s;
    };
    if (u.rows.size() == 1 && u.rows[0].components.size() > 1)
        return row(u.rows[0], 0);
    Shape c;
    for (const svm::UnitRow& r : u.rows)
        c.parts.push_back(row(r, r.blocks));
    return c;
}

struct Plan {
    LayoutSpec spec;
    std::vector<std::string> placements;
    std::vector<std::string> missing;
};

// The layout of `shape` with each disk name put on the disk `assign` gives it (or none).
LayoutSpec BuildSpec(const Shape& shape, const std::vector<svm::UnitComponent>& slices,
                     const std::vector<std::string>& names, const std::vector<OpenDisk>& disks,
                     const std::map<std::string, size_t>& assign, const std::set<std::string>& byId,
                     Plan& plan) {
    LayoutSpec spec;
    spec.kind = shape.kind;
    spec.interlaceSectors = shape.interlace;
    bool nested = false;
    for (const Shape& part : shape.parts) {
        if (part.leaf < 0) {
            LayoutSpec sub = BuildSpec(part, slices, names, disks, assign, byId, plan);
            const bool none =
                std::all_of(sub.components.begin(), sub.components.end(),
                            [](const std::string& c) { return c == kMissingComponent; });
            spec.components.push_back(none ? kMissingComponent : LayoutKindName(sub.kind));
            spec.componentStarts.push_back(0);
            spec.componentSectors.push_back(part.sectors);
            spec.nested.push_back(none ? LayoutSpec{} : std::move(sub));
            nested = nested || !none;
            continue;
        }
        const auto k = static_cast<size_t>(part.leaf);
        spec.nested.emplace_back();
        const ComponentName cn = SplitComponentName(names[k]);
        const auto at = assign.find(cn.disk);
        std::optional<uint64_t> start;
        if (at != assign.end())
            start = SliceStart(disks[at->second], cn.slice);
        if (!start) {
            spec.components.push_back(kMissingComponent);
            spec.componentStarts.push_back(0);
            spec.componentSectors.push_back(0);
            plan.missing.push_back(names[k]);
            continue;
        }
        const OpenDisk& d = disks[at->second];
        const uint64_t first = *start + slices[k].startBlock;
        spec.components.push_back(d.source.path);
        spec.componentStarts.push_back(first);
        spec.componentSectors.push_back(part.sectors);
        plan.placements.push_back(names[k] + " on " + d.source.path +
                                  (d.labelled ? ", slice " + std::to_string(cn.slice) : "") +
                                  ", from sector " + std::to_string(first) +
                                  (byId.count(cn.disk) ? ", by its device id" : ""));
    }
    if (!nested)
        spec.nested.clear();
    return spec;
}

} // namespace

std::string UnitName(uint32_t unit) {
    return "d" + std::to_string(unit);
}

DiskSource ParseDiskSource(const std::string& text) {
    const size_t eq = text.find('=');
    const size_t slash = text.find('/');
    if (eq == std::string::npos || eq == 0 || (slash != std::string::npos && slash < eq))
        return {text, ""};
    return {text.substr(eq + 1), text.substr(0, eq)};
}

Result<StateDatabase> ReadStateDatabase(SectorReader& reader, uint64_t sliceStart) {
    std::vector<uint8_t> block(svm::kBlockSize);
    if (!reader.Read(sliceStart + svm::kMasterBlockSector, block).Whole())
        return Error{"its master block (sector " +
                     std::to_string(sliceStart + svm::kMasterBlockSector) + ") cannot be read"};
    const auto master = svm::DecodeMasterBlock(block);
    if (!master)
        return Error{"block 16 holds no state database master block"};
    if (!master->checksumOk)
        return Error{"its master block's checksum is wrong"};
    if (master->setNumber != 0)
        return Error{"it belongs to disk set " + std::to_string(master->setNumber) +
                     ", not the local set"};
    StateDatabase db;
    db.master = *master;
    ReplicaBlocks replica(reader, sliceStart, *master);
    if (replica.Count() == 0)
        return Error{"its master block maps no blocks"};

    auto first = replica.ReadRun(0, 1);
    if (!first)
        return Error{"its locator block: " + first.error()};
    const uint32_t lbBlocks =
        std::clamp<uint32_t>(svm::LocatorBlockCount(*first), 1, svm::kLocatorMaxBlocks);
    auto lbBytes = replica.ReadRun(0, std::min(lbBlocks, replica.Count()));
    if (!lbBytes)
        return Error{"its locator block: " + lbBytes.error()};
    const auto locator = svm::DecodeLocatorBlock(*lbBytes);
    if (!locator.value)
        return Error{locator.error};
    db.commitCount = locator.value->commitCount;

    uint32_t sum = svm::kGlobalXor;
    std::vector<svm::DeviceIdName> idNames;
    std::map<uint32_t, std::vector<uint8_t>> ids;
    std::set<uint32_t> seen;
    bool wholeSum = true;
    for (uint32_t blk = locator.value->firstDirectoryBlock; blk != 0;) {
        if (!seen.insert(blk).second || seen.size() > replica.Count())
            return Error{"its directory blocks run in a loop"};
        const uint32_t one[] = {blk};
        auto bytes = replica.Read(one);
        if (!bytes)
            return Error{"a directory block: " + bytes.error()};
        const auto dir = svm::DecodeDirectoryBlock(*bytes);
        if (!dir.value)
            return Error{dir.error};
        sum ^= dir.value->recordSum;
        for (const svm::DirectoryEntry& e : dir.value->entries) {
            if (e.flags & svm::kFlagOptimized)
                continue; // resync bitmaps: kept on a few replicas only, no part of the sum
            auto rec = replica.Read(e.blocks);
            if (!rec) {
                db.problems.push_back("record " + std::to_string(e.recordId) + ": " + rec.error());
                wholeSum = false;
                continue;
            }
            const auto r = svm::DecodeRecord(*rec, e);
            if (!r.value) {
                db.problems.push_back(r.error);
                wholeSum = false;
                continue;
            }
            sum ^= r.value->xorPart;
            if (e.type1 == svm::kTypeNames) {
                for (svm::Name& n : svm::DecodeNames(r.value->data))
                    if (n.side == 0 || !db.names.count(n.key))
                        db.names[n.key] = std::move(n.name);
                continue;
            }
            if (e.type1 == svm::kTypeDeviceIdNames) {
                for (const svm::DeviceIdName& n : svm::DecodeDeviceIdNames(r.value->data))
                    idNames.push_back(n);
                continue;
            }
            if (e.type1 == svm::kTypeDeviceIds) {
                for (svm::StoredDeviceId& id : svm::DecodeDeviceIds(r.value->data))
                    ids.emplace(id.key, std::move(id.bytes));
                continue;
            }
            if (e.type1 < svm::kTypeFirstDriver)
                continue;
            // Metadevices of 1 TB and more keep their units in the layout with 64-bit block
            // and device numbers.
            const bool large = r.value->revision == svm::kRecordRevision64 ||
                               r.value->revision == svm::kRecordRevision64Fn;
            svm::Decoded<svm::Unit> u;
            if (e.flags == svm::kFlagStripe)
                u = svm::DecodeStripeUnit(r.value->data, large);
            else if (e.flags == svm::kFlagMirror && e.type2 == 1)
                u = svm::DecodeMirrorUnit(r.value->data, large);
            else if (e.flags == svm::kFlagRaid)
                u = svm::DecodeRaidUnit(r.value->data, large);
            else if (e.flags == svm::kFlagSoftPartition || e.flags == svm::kFlagTransMaster) {
                db.problems.push_back("record " + std::to_string(e.recordId) + " holds " +
                                      (e.flags == svm::kFlagSoftPartition
                                           ? "a soft partition"
                                           : "a trans (logging) metadevice") +
                                      ", which is not read yet");
                continue;
            } else {
                continue; // hot spares and their pools, a trans log's record, resync records
            }
            if (!u.value) {
                db.problems.push_back("record " + std::to_string(e.recordId) + ": " + u.error);
                continue;
            }
            db.units.push_back(std::move(*u.value));
        }
        blk = dir.value->nextBlock;
    }
    for (const svm::DeviceIdName& n : idNames) {
        const auto id = ids.find(n.deviceIdKey);
        if (id != ids.end() && (n.side == 0 || !db.deviceIds.count(n.key)))
            db.deviceIds[n.key] = id->second;
    }
    if (wholeSum && sum != 0)
        db.problems.push_back("its records do not add up to the sum the directory keeps: the "
                              "replica was written in part");
    std::sort(db.units.begin(), db.units.end(),
              [](const svm::Unit& a, const svm::Unit& b) { return a.unitNumber < b.unitNumber; });
    return db;
}

MetadeviceSearch FindMetadevices(const std::vector<DiskSource>& sources, std::atomic<bool>& stop) {
    MetadeviceSearch out;
    std::vector<OpenDisk> disks;
    for (const DiskSource& s : sources) {
        OpenDisk d;
        d.source = s;
        auto dev = OpenBlockDevice(s.path);
        if (!dev) {
            out.warnings.push_back(s.path + ": " + dev.error());
            continue;
        }
        d.device = dev.Take();
        d.reader =
            std::make_unique<SectorReader>(d.device.get(), d.device->SizeBytes() / kSectorSize);
        d.labelled = ReadDiskLabel(*d.reader, d.table) > 0;
        if (d.labelled)
            d.storedId = ReadStoredDeviceId(*d.reader, d.table);
        d.wwid = DeviceWwid(s.path);
        disks.push_back(std::move(d));
    }

    // The freshest replica that reads whole: the highest commit count of the locator block.
    std::optional<StateDatabase> best;
    for (const OpenDisk& d : disks) {
        std::vector<std::pair<uint64_t, std::string>> places;
        if (d.labelled) {
            for (const PartitionEntry& e : d.table.Entries())
                places.push_back(
                    {e.startSector, d.source.path + ", slice " + std::to_string(e.slice)});
        } else {
            places.push_back({0, d.source.path});
        }
        for (const auto& [start, where] : places) {
            std::vector<uint8_t> b(svm::kBlockSize);
            if (!d.reader->Read(start + svm::kMasterBlockSector, b).Whole() ||
                !svm::DecodeMasterBlock(b))
                continue;
            auto db = ReadStateDatabase(*d.reader, start);
            if (!db) {
                out.warnings.push_back("the state database replica on " + where +
                                       " cannot be read: " + db.error());
                continue;
            }
            for (const std::string& p : db->problems)
                out.warnings.push_back("the state database replica on " + where + ": " + p);
            // The freshest of those read whole; one with unreadable records only when no
            // other can be had.
            const auto rank = [](const StateDatabase& x) {
                return std::make_pair(x.problems.empty(), x.commitCount);
            };
            if (!best || rank(*db) > rank(*best)) {
                best = std::move(*db);
                out.replica = where;
            }
        }
    }
    if (!best)
        return out;

    std::set<uint32_t> used; // submirrors: part of their mirror
    for (const svm::Unit& u : best->units)
        if (u.kind == svm::UnitKind::Mirror)
            for (const svm::UnitComponent& c : u.rows[0].components)
                used.insert(c.submirror);

    for (const svm::Unit& u : best->units) {
        if (used.count(u.unitNumber))
            continue;
        FoundMetadevice m;
        m.name = UnitName(u.unitNumber);
        m.unit = u;
        // The slices that hold the data; a mirror's are its submirrors'.
        std::vector<svm::UnitComponent> slices;
        Shape shape;
        std::string kindText;
        if (u.kind == svm::UnitKind::Mirror) {
            shape.kind = LayoutKind::Mirror;
            for (const svm::UnitComponent& sm : u.rows[0].components) {
                const svm::Unit* sub = FindUnit(*best, sm.submirror);
                if (!sub || sub->kind != svm::UnitKind::Stripe) {
                    m.problem = "its submirror " + UnitName(sm.submirror) + " is not recorded";
                    break;
                }
                Shape half = StripeShape(*sub, slices);
                if (half.leaf < 0 && half.kind == LayoutKind::Concat && half.parts.size() == 1)
                    half = half.parts[0]; // a submirror of one slice
                shape.parts.push_back(std::move(half));
                m.components.push_back(UnitName(sm.submirror) + " (" +
                                       ComponentStateText(u.kind, sm.state) + ")");
            }
            kindText = "mirror of " + std::to_string(u.rows[0].components.size());
        } else if (u.kind == svm::UnitKind::Raid5) {
            shape.kind = LayoutKind::Raid5;
            shape.interlace = u.rows[0].interlace;
            for (const svm::UnitComponent& c : u.rows[0].components)
                shape.parts.push_back(Leaf(c, 0, slices));
            kindText = "RAID-5 of " + std::to_string(slices.size());
        } else {
            shape = StripeShape(u, slices);
            const size_t n = u.rows.size() == 1 ? u.rows[0].components.size() : u.rows.size();
            kindText = u.rows.size() == 1 && n > 1 ? "stripe of " + std::to_string(n)
                       : n == 1                    ? std::string("one slice")
                                                   : "concatenation of " + std::to_string(n);
        }
        m.description = "SVM " + m.name + ": " + kindText + ", " + SizeText(u.blocks);

        std::vector<std::string> names;
        for (const svm::UnitComponent& c : slices) {
            const auto n = best->names.find(c.key);
            names.push_back(n != best->names.end() ? n->second : "key " + std::to_string(c.key));
            if (u.kind != svm::UnitKind::Mirror)
                m.components.push_back(names.back() + " (" + ComponentStateText(u.kind, c.state) +
                                       ")");
        }
        if (!m.problem.empty()) {
            out.found.push_back(std::move(m));
            continue;
        }

        // The disks the components lie on, in order of first use.
        std::vector<std::string> diskNames;
        for (const std::string& n : names) {
            const std::string disk = SplitComponentName(n).disk;
            if (std::find(diskNames.begin(), diskNames.end(), disk) == diskNames.end())
                diskNames.push_back(disk);
        }
        std::map<std::string, size_t> named;
        std::vector<size_t> free;
        for (size_t i = 0; i < disks.size(); ++i) {
            if (!disks[i].source.diskName.empty())
                named[disks[i].source.diskName] = i;
            else
                free.push_back(i);
        }
        // A disk the state database records a device id for is the one image that has it.
        std::set<std::string> byId;
        for (const std::string& dn : diskNames) {
            std::vector<std::vector<uint8_t>> recorded;
            for (size_t k = 0; k < slices.size(); ++k) {
                const auto id = best->deviceIds.find(slices[k].key);
                if (id != best->deviceIds.end() && SplitComponentName(names[k]).disk == dn)
                    recorded.push_back(id->second);
            }
            if (recorded.empty())
                continue;
            const auto isIt = [&](size_t i) {
                return std::any_of(recorded.begin(), recorded.end(),
                                   [&](const auto& r) { return IsDevice(disks[i], r); });
            };
            if (const auto at = named.find(dn); at != named.end()) {
                const OpenDisk& d = disks[at->second];
                if ((d.storedId || !d.wwid.empty()) && !isIt(at->second))
                    out.warnings.push_back(m.name + ": " + d.source.path + ", named " + dn +
                                           ", is not the disk the state database knows as " + dn +
                                           " (its device id differs)");
                continue;
            }
            std::vector<size_t> matches;
            std::copy_if(free.begin(), free.end(), std::back_inserter(matches), isIt);
            if (matches.size() != 1)
                continue; // none, or copies of one disk: the file system decides
            named[dn] = matches[0];
            free.erase(std::find(free.begin(), free.end(), matches[0]));
            byId.insert(dn);
        }
        std::vector<std::string> open;
        for (const std::string& dn : diskNames)
            if (!named.count(dn))
                open.push_back(dn);

        // Each way of putting the unnamed disks on the unnamed images (one image a disk;
        // disks left over are missing), judged by the file system the metadevice then shows.
        constexpr size_t kNoImage = SIZE_MAX;
        std::vector<size_t> pool = free;
        while (pool.size() < open.size())
            pool.push_back(kNoImage);
        std::sort(pool.begin(), pool.end());
        std::optional<Plan> bestPlan;
        LayoutFit bestFit;
        size_t tried = 0, ties = 0;
        std::set<std::vector<size_t>> done;
        do {
            if (stop.load())
                break;
            const std::vector<size_t> chosen(pool.begin(),
                                             pool.begin() + static_cast<long>(open.size()));
            if (!done.insert(chosen).second)
                continue;
            if (++tried > 5040) {
                out.warnings.push_back(m.name + ": too many ways to put its disks on the images; "
                                                "name them (--disk c1t1d0=IMAGE)");
                break;
            }
            std::map<std::string, size_t> assign = named;
            for (size_t i = 0; i < open.size(); ++i)
                if (chosen[i] != kNoImage)
                    assign[open[i]] = chosen[i];
            std::optional<Plan> plan = Plan{};
            // Each candidate reads the disks opened above, not files opened again.
            const AssembledDevice::Opener lend =
                [&](const std::string& path) -> Result<std::unique_ptr<BlockDevice>> {
                for (const OpenDisk& d : disks)
                    if (d.source.path == path)
                        return std::unique_ptr<BlockDevice>(
                            std::make_unique<BorrowedDevice>(*d.device));
                return OpenBlockDevice(path);
            };
            plan->spec = BuildSpec(shape, slices, names, disks, assign, byId, *plan);
            LayoutFit fit;
            if (auto dev = AssembledDevice::Open(plan->spec, lend))
                fit = MeasureLayoutFit(**dev);
            else
                continue;
            // A mirror shows one half; each half that is a stripe is judged on its own too,
            // so that an older half put together right wins over a newer one put wrong.
            for (const LayoutSpec& half : plan->spec.nested) {
                if (half.components.empty())
                    continue;
                if (auto h = AssembledDevice::Open(half, lend)) {
                    const LayoutFit f = MeasureLayoutFit(**h);
                    fit.headersFound += f.headersFound;
                    fit.headersChecked += f.headersChecked;
                }
            }
            const bool better =
                !bestPlan || (fit.superblock && !bestFit.superblock) ||
                (fit.superblock == bestFit.superblock && fit.headersFound > bestFit.headersFound) ||
                (fit.superblock == bestFit.superblock && fit.headersFound == bestFit.headersFound &&
                 plan->missing.size() < bestPlan->missing.size());
            const bool same = bestPlan && fit.superblock == bestFit.superblock &&
                              fit.headersFound == bestFit.headersFound &&
                              plan->missing.size() == bestPlan->missing.size();
            if (better) {
                bestPlan = std::move(plan);
                bestFit = fit;
                ties = 0;
            } else if (same) {
                ++ties;
            }
        } while (std::next_permutation(pool.begin(), pool.end()));
        // The halves of a mirror have one geometry: slices of its stripes swapped between
        // the halves show a file system as well as the right ones. Only names tell them.
        const bool stripedHalves = shape.kind == LayoutKind::Mirror &&
                                   std::any_of(shape.parts.begin(), shape.parts.end(),
                                               [](const Shape& p) { return p.leaf < 0; });
        if (bestPlan && ties > 0 && stripedHalves && !open.empty())
            out.warnings.push_back(m.name + ": its submirrors' slices can be put on the images "
                                            "in several ways that look alike; name the disks "
                                            "(--disk c1t1d0=IMAGE) to be sure which half is read");

        if (!bestPlan) {
            m.problem = "its components cannot be put together from the disks given";
            for (const std::string& n : names)
                m.missing.push_back(n);
        } else {
            m.layout = bestPlan->spec;
            m.missing = bestPlan->missing;
            m.placements = bestPlan->placements;
            m.guessed = tried > 1;
        }
        out.found.push_back(std::move(m));
    }
    return out;
}

} // namespace trevik
