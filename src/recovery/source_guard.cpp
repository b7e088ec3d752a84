#include "recovery/source_guard.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace trevik {
namespace {

namespace fs = std::filesystem;

// The whole disk a partition's device number belongs to (itself when it is none), as
// sysfs tells.
dev_t WholeDiskOf(dev_t dev) {
    const std::string base =
        "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    std::error_code ec;
    if (!fs::exists(base + "/partition", ec))
        return dev;
    std::ifstream in(fs::canonical(base, ec).parent_path() / "dev");
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (in >> maj >> colon >> min && colon == ':')
        return makedev(maj, min);
    return dev;
}

// The file system an existing or future path lies on: that of its nearest existing
// ancestor.
bool FileSystemOf(const std::string& path, dev_t& dev) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    for (;;) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) {
            dev = st.st_dev;
            return true;
        }
        if (!p.has_parent_path() || p.parent_path() == p)
            return false;
        p = p.parent_path();
    }
}

fs::path Canonical(const std::string& path) {
    std::error_code ec;
    const fs::path abs = fs::absolute(path, ec);
    fs::path c = fs::weakly_canonical(abs, ec);
    return ec ? abs.lexically_normal() : c;
}

} // namespace

bool LiesInside(const std::string& path, const std::string& folder) {
    const fs::path p = Canonical(path);
    const fs::path f = Canonical(folder);
    auto pi = p.begin();
    for (auto fi = f.begin(); fi != f.end(); ++fi, ++pi) {
        if (fi->empty())
            continue; // a trailing separator
        if (pi == p.end() || *pi != *fi)
            return false;
    }
    return true;
}

SourceGuard SourceGuard::Of(const BlockDevice& device) {
    SourceGuard g;
    std::vector<std::string> names = device.Details().files;
    if (std::find(names.begin(), names.end(), device.Path()) == names.end())
        names.push_back(device.Path());
    for (const std::string& name : names) {
        struct stat st {};
        if (::stat(name.c_str(), &st) != 0)
            continue;
        g.paths_.push_back(name);
        if (S_ISBLK(st.st_mode))
            g.blockDevices_.push_back(st.st_rdev);
        else
            g.files_.push_back({st.st_dev, st.st_ino});
    }
    return g;
}

bool SourceGuard::OnSourceDisk(const std::string& path) const {
    dev_t fsDev = 0;
    if (blockDevices_.empty() || !FileSystemOf(path, fsDev))
        return false;
    const dev_t disk = WholeDiskOf(fsDev);
    for (const dev_t source : blockDevices_) {
        if (fsDev == source || disk == source || disk == WholeDiskOf(source))
            return true;
    }
    return false;
}

bool SourceGuard::IsSource(const FileIdentity& id) const {
    return std::find(files_.begin(), files_.end(), id) != files_.end();
}

Status SourceGuard::CheckOutputFile(const std::string& path, const std::string& what,
                                    const std::string& insideOf) const {
    const std::string refused = "Refusing to write " + what + " to " + path + ": ";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode) && IsSource({st.st_dev, st.st_ino}))
            return Error{refused + "it is the disk image being read"};
        if (S_ISBLK(st.st_mode) && std::find(blockDevices_.begin(), blockDevices_.end(),
                                             st.st_rdev) != blockDevices_.end())
            return Error{refused + "it is the disk being read"};
    }
    if (OnSourceDisk(path))
        return Error{refused + "it lies on the disk being read"};
    if (!insideOf.empty() && LiesInside(path, insideOf)) {
        return Error{refused + "it lies inside the destination " + insideOf +
                     ", where a recovered file may take its name; write it elsewhere"};
    }
    return Ok();
}

Status SourceGuard::CheckDestination(const std::string& folder, bool replaces) const {
    const std::string refused = "Refusing to copy into " + folder + ": ";
    if (OnSourceDisk(folder))
        return Error{refused + "it lies on the disk being read"};
    if (replaces) {
        for (const std::string& p : paths_) {
            if (LiesInside(p, folder)) {
                return Error{refused + "the disk image " + p +
                             " lies inside it and existing files are to be replaced"};
            }
        }
    }
    return Ok();
}

} // namespace trevik
