#pragma once

// Finding the layout of a metadevice whose state database is lost: every order of its
// components and each usual interlace is tried, and each candidate is judged by the
// file system it shows, the superblock at sector 16 and the cylinder-group headers
// where that superblock puts them. A wrong order or interlace shows garbage there.

#include "disk/assembled_device.h"

#include <atomic>
#include <vector>

namespace trevik {

struct LayoutFit {
    bool superblock = false;   // a UFS superblock decodes at sector 16
    uint32_t headersFound = 0; // cylinder-group headers where the superblock puts them
    uint32_t headersChecked = 0;
};

// Judges the device as it is assembled, looking at up to `sample` groups spread over
// the volume.
LayoutFit MeasureLayoutFit(BlockDevice& device, uint32_t sample = 64);

struct LayoutGuess {
    LayoutSpec spec;
    LayoutFit fit;
};

// The interlaces tried when none is given: 8 to 2048 blocks (4 KiB to 1 MiB).
const std::vector<uint64_t>& UsualInterlaces();

// Most components whose orders are all tried (6! = 720 orders).
inline constexpr size_t kMaxGuessedComponents = 6;

// Every order of `given`'s components (kept as given past kMaxGuessedComponents) and, when
// its interlace is 0, every usual interlace; the candidates that show a superblock, best
// first (more headers found; among equals, the order enumerated). Components are opened
// once, with `open`. Polls `stop` between candidates. The error says why nothing could be
// tried (a component that cannot be opened, a concatenation or mirror of one order only
// is still tried).
Result<std::vector<LayoutGuess>> GuessLayouts(const LayoutSpec& given, std::atomic<bool>& stop,
                                              const AssembledDevice::Opener& open = {});

} // namespace trevik
