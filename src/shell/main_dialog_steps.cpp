// The wizard's steps of the main window: from the disk chosen to the volumes on it, and
// from a volume to the mounted tree, each step's work in the background job.

#include "shell/copy_out.h"
#include "shell/dialogs.h"
#include "shell/main_dialog.h"
#include "shell/progress_reporters.h"
#include "text/messages.h"
#include "volume/disk_label.h"

#include <QFileInfo>
#include <QTableView>
#include <QTreeView>
#include <QTreeWidget>

namespace trevik::shell {

namespace {

const char* const kNoPartition =
    "No Solaris Partition Found  !! \r\nSelect Search Partition and than Click Next.";

} // namespace

void MainDialog::Next() {
    session_.filters.Clear();
    browse_->SetViewMode(ViewMode::Details);
    const WizardController::NextAction action = wizard_.Next();
    ApplyView();
    switch (action) {
    case WizardController::NextAction::ReadLabel:
    case WizardController::NextAction::CheckRangeAndScan: {
        // The disk chosen now, whatever an earlier refused Next had opened.
        session_.CloseDisk();
        const Status opened = session_.OpenDisk(session_.selectedDisk.value_or(0));
        if (!opened) {
            wizard_.OpenFailed();
            ApplyView();
            messages_.ShowMessage(this, MessageKind::Error, QString::fromStdString(opened.error()));
            return;
        }
        if (action == WizardController::NextAction::ReadLabel)
            ReadLabel();
        else
            CheckRangeAndScan();
        break;
    }
    case WizardController::NextAction::ChooseModeAndMount:
        StartMount();
        break;
    case WizardController::NextAction::None:
        break;
    }
}

void MainDialog::ReadLabel() {
    LabelReport label;
    // A metadevice has no label: its file system begins at its start.
    const bool metadevice = session_.Assembled() != nullptr;
    const size_t found = metadevice ? ReadMetadeviceVolume(session_.Reader(), session_.volumes)
                                    : ReadDiskLabel(session_.Reader(), session_.volumes, &label);
    if (metadevice && found == 0) {
        messages_.ShowMessage(
            this, MessageKind::Information,
            "The metadevice shows no UFS volume at its start: the order of its components, "
            "the interlace or the start block may be wrong. Search Partition looks for volumes "
            "inside it.");
        wizard_.LabelRead(0);
        ApplyView();
        return;
    }
    if (const std::string damage = text::LabelDamageMessage(label); !damage.empty())
        messages_.ShowMessage(this, found == 0 ? MessageKind::Error : MessageKind::Information,
                              QString::fromStdString(damage));
    if (found == 0) {
        wizard_.LabelRead(0); // the disk stays chosen: Next may try again (or Search Partition)
        ApplyView();
        if (label.kind != LabelKind::Efi)
            messages_.ShowMessage(this, MessageKind::Information, kNoPartition);
        return;
    }
    ShowVolumes(*volumeTree_, session_.volumes);
    browse_->ClearList();
    wizard_.LabelRead(found);
    ApplyView();
    FocusStepList();
}

void MainDialog::CheckRangeAndScan() {
    const DiskOptions::Range range = options_->ReadRange();
    if (range.startValid)
        scanStart_ = range.start;
    if (range.refusal != nullptr) {
        messages_.ShowMessage(this, MessageKind::Error, range.refusal);
        wizard_.RangeRefused();
        ApplyView();
        return;
    }
    scanEnd_ = range.end;
    volumeTree_->clear();
    new QTreeWidgetItem(volumeTree_, {"Partitions"});
    browse_->ClearList();
    wizard_.ScanStarted();
    ApplyView();
    ScanOptions o;
    o.startSector = scanStart_;
    o.endSector = scanEnd_;
    o.sectorsPerRead = session_.settings.sectorsPerRead;
    job_->Start([this, o] {
        ScanReporter reporter(*job_, *panel_, *progress_, *volumeTree_);
        ScanForVolumes(session_.Reader(), o, session_.volumes, job_->StopFlag(), &reporter);
        job_->Post([this] {
            JobEnded();
            wizard_.ScanFinished();
            ApplyView();
            FocusStepList();
        });
    });
}

void MainDialog::StartMount() {
    std::optional<RecoveryMode> mode;
    if (chooseMode) {
        mode = chooseMode();
    } else {
        ModeDialog dialog(this);
        if (dialog.exec() == QDialog::Accepted)
            mode = dialog.Mode();
    }
    if (!mode)
        return;
    session_.SetMounted(nullptr);
    wizard_.MountStarted();
    ApplyView();
    const PartitionEntry entry = session_.volumes[session_.selectedVolume.value_or(0)];
    if (!HoldsUfs(entry)) {
        wizard_.MountFinished(false);
        ApplyView();
        messages_.ShowMessage(this, MessageKind::Error,
                              QString::fromStdString(text::NotUfsMessage(entry)));
        return;
    }
    const RecoveryMode chosen = *mode;
    job_->Start([this, entry, chosen] {
        MountReporter reporter(*job_, *panel_, *progress_, [this](bool available) {
            wizard_.StopAvailable(available);
            ApplyView();
        });
        auto result = std::make_shared<Result<MountedVolume>>(
            MountVolume(session_.Reader(), entry, chosen, job_->StopFlag(), &reporter,
                        session_.settings.applyLog));
        job_->Post([this, result] { MountEnded(result); });
    });
}

void MainDialog::MountEnded(std::shared_ptr<Result<MountedVolume>> result) {
    JobEnded();
    if (!*result) {
        // Nothing was mounted: back to the volume list as it was.
        wizard_.MountFinished(false);
        ApplyView();
        messages_.ShowMessage(this, MessageKind::Error, QString::fromStdString(result->error()));
        return;
    }
    session_.SetMounted(std::make_unique<MountedVolume>(result->Take()));
    wizard_.MountFinished(true);
    ApplyView();
    FocusStepList();
    // The title names what is browsed: the image (or disk), or the metadevice, and the
    // volume.
    if (const BlockDevice* device = session_.Device(); device != nullptr) {
        const DiskEntry* d =
            session_.selectedDisk ? session_.disks.Listed(*session_.selectedDisk) : nullptr;
        const QString source = d == nullptr || !d->layout
                                   ? QFileInfo(QString::fromStdString(device->Path())).fileName()
                               : d->metadevice.empty() ? QString::fromStdString(d->model)
                                                       : QString::fromStdString(d->metadevice);
        setWindowTitle(QString("%1 - %2 - %3")
                           .arg(source, QString::fromStdString(session_.Mounted()->entry.name),
                                QString::fromLatin1(kCaption)));
    }
    QTreeView* tree = browse_->FolderTree();
    tree->expand(browse_->FolderModel()->RootIndex());
    browse_->ClickFolder(browse_->FolderModel()->RootIndex());
    ReportMount(this, messages_, *session_.Mounted(),
                session_.Assembled() != nullptr ? text::AssemblyNotes(*session_.Assembled())
                                                : std::vector<std::string>{});
}

void MainDialog::Back() {
    setWindowTitle(kCaption);
    browse_->SetViewMode(ViewMode::Details);
    browse_->ClearList();
    switch (wizard_.Back()) {
    case WizardController::BackAction::CloseDisk:
        session_.CloseDisk();
        break;
    case WizardController::BackAction::FreeVolume:
        session_.SetMounted(nullptr);
        break;
    case WizardController::BackAction::None:
        break;
    }
    ApplyView();
    // The item still highlighted is the one chosen: its details and Next come back with it.
    QTreeWidget* tree = wizard_.Step() == WizardStep::SelectDisk     ? diskTree_
                        : wizard_.Step() == WizardStep::SelectVolume ? volumeTree_
                                                                     : nullptr;
    if (tree != nullptr) {
        QTreeWidgetItem* item = tree->currentItem();
        if (item != nullptr && item->parent() != nullptr && item->isSelected()) {
            const int row = item->parent()->indexOfChild(item);
            if (tree == diskTree_)
                DiskChosen(row);
            else
                VolumeChosen(row);
        }
    }
    FocusStepList();
}

void MainDialog::FocusStepList() {
    switch (wizard_.Step()) {
    case WizardStep::SelectDisk:
        diskTree_->setFocus();
        break;
    case WizardStep::SelectVolume:
        volumeTree_->setFocus();
        break;
    case WizardStep::Browse:
        browse_->DetailsView()->setFocus();
        break;
    default:
        break;
    }
}

void MainDialog::Stop() {
    const uint64_t job = jobsEnded_;
    const bool yes = messages_.AskYesNo(this, MessageKind::Question,
                                        "Do you want to stop the current process ?");
    // The process may have ended while the question was open: then there is nothing to stop.
    if (!yes || job != jobsEnded_ || !WorkerRunning())
        return;
    job_->RequestStop();
    panel_->SetStatusLine("Stopping...");
}

void MainDialog::JobEnded() {
    ++jobsEnded_;
    messages_.CloseQuestion();
}

} // namespace trevik::shell
