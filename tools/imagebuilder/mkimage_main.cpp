// trevik-mkimage: writes a disk image with a SPARC label and big-endian UFS1 volumes made
// from host directories, laid out as Solaris on SPARC lays them out.

#include "disk_image.h"
#include "ufs_builder.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <sstream>

using namespace trevik::imagebuilder;

namespace {

struct SliceArg {
    int index = 0;
    uint16_t tag = 0;
    bool whole = false;
    uint32_t megabytes = 0;
    std::string dir; // empty: no file system; "-": an empty one
};

SliceArg ParseSlice(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream ss(text);
    std::string part;
    while (std::getline(ss, part, ':'))
        parts.push_back(part);
    if (parts.size() < 3) {
        throw std::runtime_error("--slice wants INDEX:TAG:SIZE_MB|whole[:DIR|-], got " + text);
    }
    SliceArg s;
    s.index = std::stoi(parts[0]);
    s.tag = static_cast<uint16_t>(std::stoi(parts[1]));
    if (parts[2] == "whole") {
        s.whole = true;
    } else {
        s.megabytes = static_cast<uint32_t>(std::stoul(parts[2]));
    }
    if (parts.size() > 3) {
        // A directory path may itself hold ':'.
        s.dir = text.substr(parts[0].size() + parts[1].size() + parts[2].size() + 3);
    }
    if (s.index < 0 || s.index > 7)
        throw std::runtime_error("slice index must be 0 to 7");
    return s;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Write a disk image with a SPARC label and big-endian UFS1 volumes"};
    std::string output;
    std::vector<std::string> sliceArgs;
    LabelSpec label;
    UfsParams ufs;
    bool zeroLabel = false;
    std::vector<int> zeroPrimary;
    app.add_option("--output,-o", output, "Image file to write")->required();
    app.add_option("--slice", sliceArgs, "INDEX:TAG:SIZE_MB|whole[:DIR|-] (DIR '-' = empty UFS)")
        ->required();
    app.add_option("--heads", label.heads, "Heads of the label's geometry");
    app.add_option("--sectors", label.sectorsPerTrack, "Sectors per track of the label");
    app.add_option("--fsize", ufs.fragmentSize, "UFS fragment size");
    app.add_option("--bsize", ufs.blockSize, "UFS block size");
    app.add_option("--nsect", ufs.sectorsPerTrack, "UFS sectors per track (sets fs_cgoffset)");
    app.add_option("--ntrak", ufs.tracksPerCylinder, "UFS tracks per cylinder (sets fs_cgmask)");
    app.add_option("--cpg", ufs.cylindersPerGroup, "UFS cylinders per group");
    app.add_option("--ipg", ufs.inodesPerGroup, "UFS inodes per group");
    app.add_option("--time", ufs.time, "Time stamp of every inode (seconds since 1970)");
    app.add_flag("--lost-found", ufs.lostAndFound, "Add lost+found to every volume");
    app.add_flag("--zero-label", zeroLabel, "Leave sector 0 zeroed");
    app.add_option("--zero-primary-superblock", zeroPrimary,
                   "Zero the primary superblock of slice");
    CLI11_PARSE(app, argc, argv);

    try {
        std::vector<SliceArg> slices;
        for (const auto& a : sliceArgs)
            slices.push_back(ParseSlice(a));
        const uint32_t spc = uint32_t{label.heads} * label.sectorsPerTrack;
        if (spc == 0)
            throw std::runtime_error("heads and sectors must be non-zero");
        uint32_t cyl = 0;
        for (auto& s : slices) {
            if (!s.whole)
                cyl += (s.megabytes * 2048 + spc - 1) / spc;
        }
        label.cylinders = cyl + 1;
        DiskImage disk(uint64_t{label.cylinders} * spc);
        uint32_t next = 0;
        for (const auto& s : slices) {
            SliceSpec spec;
            spec.index = s.index;
            spec.tag = s.tag;
            if (s.whole) {
                spec.startCylinder = 0;
                spec.lengthSectors = label.cylinders * spc;
            } else {
                const uint32_t cyls = (s.megabytes * 2048 + spc - 1) / spc;
                spec.startCylinder = next;
                spec.lengthSectors = cyls * spc;
                next += cyls;
            }
            label.slices.push_back(spec);
            if (s.dir.empty())
                continue;
            UfsParams p = ufs;
            p.sizeSectors = spec.lengthSectors;
            const TreeNode tree = s.dir == "-" ? Dir("") : TreeFromHostDirectory(s.dir);
            UfsVolume vol = BuildUfs(tree, p);
            for (int z : zeroPrimary) {
                if (z == s.index)
                    vol.ZeroPrimarySuperblock();
            }
            disk.PutVolume(uint64_t{spec.startCylinder} * spc, vol);
        }
        if (!zeroLabel)
            disk.PutLabel(label);
        disk.WriteTo(output);
    } catch (const std::exception& e) {
        std::cerr << "trevik-mkimage: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
