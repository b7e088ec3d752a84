#include "disk/disk_table.h"

#include "disk/block_device.h"
#include "format/sector.h"
#include "format/unique_fd.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace trevik {
namespace fs = std::filesystem;
namespace {

std::string ReadLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return {};
    }
    return line;
}

bool AllDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool StartsWith(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}

// Whole-disk kernel names we list.
bool IsDiskName(const std::string& name, const fs::path& sysDir) {
    if (StartsWith(name, "loop")) {
        return AllDigits(name.substr(4)) && fs::exists(sysDir / "loop" / "backing_file");
    }
    if (StartsWith(name, "nvme")) { // nvme<ctrl>n<ns>, never nvme0n1p1
        const auto n = name.find('n', 4);
        return n != std::string::npos && AllDigits(name.substr(4, n - 4)) &&
               AllDigits(name.substr(n + 1));
    }
    if (StartsWith(name, "mmcblk")) {
        return AllDigits(name.substr(6));
    }
    for (const char* prefix : {"xvd", "sd", "vd", "hd"}) {
        if (StartsWith(name, prefix)) {
            const std::string rest = name.substr(std::string_view(prefix).size());
            return !rest.empty() && std::all_of(rest.begin(), rest.end(),
                                                [](char c) { return c >= 'a' && c <= 'z'; });
        }
    }
    return false;
}

// Sort key that orders sda < sdb < sdz < sdaa and nvme0n2 < nvme0n10: the family prefix,
// then letter runs by length before text and number runs by value.
std::string SortKey(const std::string& name) {
    size_t prefixEnd = 0;
    for (const char* p : {"xvd", "sd", "vd", "hd"}) {
        if (StartsWith(name, p))
            prefixEnd = std::string_view(p).size();
    }
    if (prefixEnd == 0) {
        while (prefixEnd < name.size() &&
               std::isalpha(static_cast<unsigned char>(name[prefixEnd]))) {
            ++prefixEnd;
        }
    }
    std::string key = name.substr(0, prefixEnd) + '|';
    for (size_t i = prefixEnd; i < name.size();) {
        const bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
        size_t j = i;
        while (j < name.size() && (std::isdigit(static_cast<unsigned char>(name[j])) != 0) == digit)
            ++j;
        const std::string run = name.substr(i, j - i);
        if (digit) {
            key += std::string(run.size() < 12 ? 12 - run.size() : 0, '0') + run;
        } else {
            key += static_cast<char>('A' + std::min<size_t>(run.size(), 25)) + run;
        }
        i = j;
    }
    return key;
}

std::string Trim(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    size_t k = 0;
    while (k < s.size() && std::isspace(static_cast<unsigned char>(s[k])))
        ++k;
    return s.substr(k);
}

void FillGeometry(DiskEntry& e, uint32_t heads, uint32_t sectors) {
    if (heads == 0 || sectors == 0) {
        heads = kDefaultHeads;
        sectors = kDefaultSectorsPerTrack;
    }
    e.heads = heads;
    e.sectorsPerTrack = sectors;
    e.cylinders = static_cast<uint32_t>(e.totalSectors / (uint64_t{heads} * sectors));
}

} // namespace

std::string DiskItemName(size_t k) {
    return "Storage Device" + std::to_string(k);
}

std::string CapacityText(uint64_t totalSectors) {
    return std::to_string(totalSectors / 2048) + " MB ( Approx )";
}

uint64_t DefaultScanEnd(uint64_t totalSectors) {
    return totalSectors;
}

DiskTable EnumerateDisks(const DiskProbeRoots& roots) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& ent : fs::directory_iterator(roots.sysBlock, ec)) {
        const std::string name = ent.path().filename().string();
        if (IsDiskName(name, ent.path())) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return SortKey(a) < SortKey(b); });

    std::vector<DiskEntry> listed;
    std::vector<DiskEntry> missing;
    for (const auto& name : names) {
        const fs::path sys = fs::path(roots.sysBlock) / name;
        DiskEntry e;
        e.devicePath = (fs::path(roots.dev) / name).string();
        const std::string sizeText = ReadLine(sys / "size"); // always 512-byte units
        e.totalSectors = AllDigits(sizeText) ? std::stoull(sizeText) : 0;
        if (e.totalSectors == 0) {
            // A drive that answers but has no medium (card reader, empty tray).
            e.model = kModelMediaMissing;
            missing.push_back(std::move(e));
            continue;
        }
        const std::string real = fs::weakly_canonical(sys, ec).string();
        if (real.find("/usb") != std::string::npos) {
            e.model = kModelUsb;
        } else if (StartsWith(name, "loop")) {
            e.model = fs::path(Trim(ReadLine(sys / "loop" / "backing_file"))).filename().string();
        } else {
            std::string model = ReadLine(sys / "device" / "model");
            if (model.empty()) {
                model = ReadLine(sys / "device" / "name"); // mmc cards
            }
            model = Trim(model);
            e.model = model.empty() ? kModelUnknown : model;
        }
        uint32_t heads = 0;
        uint32_t sectors = 0;
        // A query-only open: O_NONBLOCK so that a drive without a medium does not wait.
        const UniqueFd fd(::open(e.devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct hd_geometry geo {};
        if (fd.Valid() && ::ioctl(fd.Get(), HDIO_GETGEO, &geo) == 0) {
            heads = geo.heads;
            sectors = geo.sectors;
        }
        FillGeometry(e, heads, sectors);
        listed.push_back(std::move(e));
    }

    DiskTable table;
    for (auto& e : listed) {
        if (table.entries.size() == DiskTable::kSlots)
            break;
        table.entries.push_back(std::move(e));
        ++table.listedCount;
    }
    for (auto& e : missing) {
        if (table.entries.size() == DiskTable::kSlots)
            break;
        table.entries.push_back(std::move(e));
    }
    return table;
}

std::string LayoutDescription(const LayoutSpec& l) {
    const size_t n = l.components.size();
    switch (l.kind) {
    case LayoutKind::Concat:
        return "SVM concatenation of " + std::to_string(n);
    case LayoutKind::Stripe:
        return "SVM stripe of " + std::to_string(n);
    case LayoutKind::Raid5:
        return "SVM RAID-5 of " + std::to_string(n);
    case LayoutKind::Mirror:
        return "SVM mirror of " + std::to_string(n);
    }
    return "SVM metadevice";
}

namespace {

// Lists an image or metadevice after the physical disks; entries of drives without a
// medium stay behind every listed disk so that list index k remains slot k.
void ListAfterDisks(DiskTable& table, DiskEntry e) {
    FillGeometry(e, 0, 0);
    if (table.entries.size() == DiskTable::kSlots) {
        table.entries.pop_back();
    }
    table.entries.insert(table.entries.begin() + table.listedCount, std::move(e));
    ++table.listedCount;
}

} // namespace

Status AddLayoutDisk(DiskTable& table, const LayoutSpec& layout, const std::string& description,
                     const std::string& name) {
    if (table.listedCount >= DiskTable::kSlots) {
        return Error{"Cannot add the metadevice: no free disk slot"};
    }
    const auto opened = AssembledDevice::Open(layout);
    if (!opened) {
        return Error{opened.error()};
    }
    DiskEntry e;
    e.devicePath = (*opened)->Path();
    e.totalSectors = (*opened)->SizeBytes() / kSectorSize;
    e.model = description.empty() ? LayoutDescription(layout) : description;
    e.metadevice = name;
    e.format = LayoutKindName(layout.kind);
    e.files = (*opened)->Details().files.size();
    e.layout = layout;
    ListAfterDisks(table, std::move(e));
    return Ok();
}

Status AddImageDisk(DiskTable& table, const std::string& path) {
    if (table.listedCount >= DiskTable::kSlots) {
        return Error{"Cannot add " + path + ": no free disk slot"};
    }
    const auto opened = OpenBlockDevice(path);
    if (!opened) {
        return Error{opened.error()};
    }
    DiskEntry e;
    e.devicePath = path;
    e.totalSectors = (*opened)->SizeBytes() / kSectorSize;
    e.model = fs::path(path).filename().string();
    const ImageDetails& details = (*opened)->Details();
    e.format = details.format;
    e.storedMd5 = details.storedMd5;
    e.storedSha1 = details.storedSha1;
    e.files = std::max<size_t>(1, details.files.size());
    ListAfterDisks(table, std::move(e));
    return Ok();
}

} // namespace trevik
