#pragma once

#include "shell/background_job.h"
#include "shell/percent_progress_bar.h"
#include "shell/status_panel.h"
#include "ufs/mount_observer.h"
#include "volume/superblock_scan.h"

#include <functional>

class QTreeWidget;

namespace trevik::shell {

// What a volume scan tells, carried by its job to the panel, the progress bar and the
// volume tree (one item per volume found).
class ScanReporter final : public ScanObserver {
public:
    ScanReporter(BackgroundJob& job, StatusPanel& panel, PercentProgressBar& bar,
                 QTreeWidget& volumes)
        : job_(job), panel_(panel), bar_(bar), volumes_(volumes) {}
    void OnScanProgress(const ScanProgress& p) override;
    void OnVolumeFound(const PartitionEntry& e, size_t count) override;

private:
    BackgroundJob& job_;
    StatusPanel& panel_;
    PercentProgressBar& bar_;
    QTreeWidget& volumes_;
};

// What a mount tells, carried by its job to the panel and the progress bar; whether Stop
// can cut the current phase short goes to `stopAvailable`.
class MountReporter final : public MountObserver {
public:
    MountReporter(BackgroundJob& job, StatusPanel& panel, PercentProgressBar& bar,
                  std::function<void(bool)> stopAvailable)
        : job_(job), panel_(panel), bar_(bar), stopAvailable_(std::move(stopAvailable)) {}
    void OnPhase(MountPhase phase) override;
    void OnProgress(uint32_t percent) override;
    void OnCurrentSector(uint64_t sector) override;
    void OnFolderAdded(uint32_t count, std::string_view name) override;
    void OnFileAdded(uint32_t count, std::string_view name) override;
    void OnStopAvailable(bool available) override;

private:
    BackgroundJob& job_;
    StatusPanel& panel_;
    PercentProgressBar& bar_;
    std::function<void(bool)> stopAvailable_;
};

} // namespace trevik::shell
