#include "shell/progress_reporters.h"

#include "shell/tree_models.h"
#include "text/messages.h"
#include "ufs/names.h"

#include <QTreeWidget>
#include <algorithm>

namespace trevik::shell {

void ScanReporter::OnScanProgress(const ScanProgress& p) {
    job_.PostLatest("scan", [&panel = panel_, &bar = bar_, p] {
        panel.SetScanSector(p.currentSector);
        panel.SetStatusLine(QString::fromStdString(p.Line()));
        bar.setValue(static_cast<int>(std::min<uint32_t>(p.percent, 100)));
    });
}

void ScanReporter::OnVolumeFound(const PartitionEntry& e, size_t count) {
    job_.Post([&volumes = volumes_, &panel = panel_, name = QString::fromStdString(e.name), count] {
        new QTreeWidgetItem(volumes.topLevelItem(0), {name});
        volumes.topLevelItem(0)->setExpanded(true);
        panel.SetVolumesFound(count);
    });
}

void MountReporter::OnPhase(MountPhase phase) {
    job_.Post([&panel = panel_, phase] {
        panel.SetStatusLine(QString::fromUtf8(text::PhaseCaption(phase)));
    });
}

void MountReporter::OnProgress(uint32_t percent) {
    job_.PostLatest("progress",
                    [&bar = bar_, percent] { bar.setValue(static_cast<int>(percent)); });
}

void MountReporter::OnCurrentSector(uint64_t sector) {
    job_.PostLatest("sector", [&panel = panel_, sector] { panel.SetMountSector(sector); });
}

void MountReporter::OnFolderAdded(uint32_t count, std::string_view name) {
    job_.PostLatest("folders", [&panel = panel_, count, name = ShownName(name)] {
        panel.SetFoldersFound(count);
        panel.SetLastName(name);
    });
}

void MountReporter::OnFileAdded(uint32_t count, std::string_view name) {
    job_.PostLatest("files", [&panel = panel_, count, name = ShownName(name)] {
        panel.SetFilesFound(count);
        panel.SetLastName(name);
    });
}

void MountReporter::OnStopAvailable(bool available) {
    job_.Post([stop = stopAvailable_, available] { stop(available); });
}

} // namespace trevik::shell
