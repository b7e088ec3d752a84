#include "volume/layout_guess.h"

#include "format/big_endian.h"
#include "format/volume_geometry.h"

#include <algorithm>
#include <map>
#include <numeric>

namespace trevik {
namespace {

bool IsHeaderOf(std::span<const uint8_t> s, uint32_t group) {
    return s[5] == ufs::kCgMagicBytes[0] && s[6] == ufs::kCgMagicBytes[1] &&
           s[7] == ufs::kCgMagicBytes[2] && ReadBe32(s, ufs::cg_field::kCgx) == group;
}

} // namespace

const std::vector<uint64_t>& UsualInterlaces() {
    static const std::vector<uint64_t> k = {8, 16, 32, 64, 128, 256, 512, 1024, 2048};
    return k;
}

LayoutFit MeasureLayoutFit(BlockDevice& device, uint32_t sample) {
    LayoutFit fit;
    std::vector<uint8_t> sb(ufs::kSuperblockReadSectors * kSectorSize);
    if (!device.ReadAt(uint64_t{ufs::kSuperblockSector} * kSectorSize, sb))
        return fit;
    auto g = DecodeSuperblock(sb);
    if (!g)
        return fit;
    fit.superblock = true;
    const uint64_t sectors = device.SizeBytes() / kSectorSize;
    const uint32_t groups = GroupsOnDevice(*g, sectors);
    const uint32_t n = std::max<uint32_t>(1, std::min(groups, sample));
    std::vector<uint8_t> s(kSectorSize);
    for (uint32_t i = 0; i < n; ++i) {
        const auto c = static_cast<uint32_t>(uint64_t{i} * groups / n);
        const uint64_t at = GroupHeaderSector(*g, c);
        ++fit.headersChecked;
        if (at < sectors && device.ReadAt(at * kSectorSize, s) && IsHeaderOf(s, c))
            ++fit.headersFound;
    }
    return fit;
}

Result<std::vector<LayoutGuess>> GuessLayouts(const LayoutSpec& given, std::atomic<bool>& stop,
                                              const AssembledDevice::Opener& open) {
    const AssembledDevice::Opener opener =
        open ? open : [](const std::string& p) { return OpenBlockDevice(p); };
    // Each component opened once; candidates borrow them.
    std::map<std::string, std::unique_ptr<BlockDevice>> opened;
    for (const std::string& path : given.components) {
        if (path == kMissingComponent || opened.count(path) != 0)
            continue;
        auto d = opener(path);
        if (!d)
            return Error{d.error()};
        opened[path] = d.Take();
    }
    const AssembledDevice::Opener lend =
        [&](const std::string& p) -> Result<std::unique_ptr<BlockDevice>> {
        return std::unique_ptr<BlockDevice>(std::make_unique<BorrowedDevice>(*opened.at(p)));
    };

    const std::vector<uint64_t> interlaces = given.interlaceSectors != 0 ||
                                                     given.kind == LayoutKind::Concat ||
                                                     given.kind == LayoutKind::Mirror
                                                 ? std::vector<uint64_t>{given.interlaceSectors}
                                                 : UsualInterlaces();
    std::vector<size_t> order(given.components.size());
    std::iota(order.begin(), order.end(), 0);
    const bool permute =
        given.components.size() <= kMaxGuessedComponents && given.kind != LayoutKind::Mirror;
    std::vector<LayoutGuess> found;
    do {
        for (const uint64_t interlace : interlaces) {
            if (stop.load(std::memory_order_relaxed))
                return found;
            LayoutSpec candidate = given;
            candidate.interlaceSectors = interlace;
            for (size_t i = 0; i < order.size(); ++i)
                candidate.components[i] = given.components[order[i]];
            auto device = AssembledDevice::Open(candidate, lend);
            if (!device)
                continue;
            const LayoutFit fit = MeasureLayoutFit(**device);
            if (fit.superblock)
                found.push_back({std::move(candidate), fit});
        }
    } while (permute && std::next_permutation(order.begin(), order.end()));
    std::stable_sort(found.begin(), found.end(), [](const LayoutGuess& a, const LayoutGuess& b) {
        return a.fit.headersFound > b.fit.headersFound;
    });
    return found;
}

} // namespace trevik
