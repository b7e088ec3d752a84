#include "shell/wizard_controller.h"

namespace trevik::shell {

void WizardController::Start() {
    step_ = WizardStep::Starting;
    view_ = WizardView{};
    step_ = WizardStep::SelectDisk;
}

void WizardController::Layout(PanelLayout layout) {
    if (layout == PanelLayout::ScanProgress && option_ == VolumeIdentifyOption::UsePartitionTable)
        layout = PanelLayout::VolumeInfo;
    if (layout == PanelLayout::ScanProgress)
        view_.rangeShown = false;
    if (layout == PanelLayout::VolumeInfoWithHelp)
        view_.help = QuickHelp::ChooseVolume;
    view_.panel = layout;
    ++view_.panelRevision;
}

bool WizardController::SelectDisk() {
    if (step_ != WizardStep::SelectDisk || worker_)
        return false;
    Layout(PanelLayout::DiskInfo);
    view_.next = true;
    return true;
}

bool WizardController::SelectVolume() {
    if (step_ != WizardStep::SelectVolume || worker_)
        return false;
    Layout(PanelLayout::VolumeInfo);
    view_.next = true;
    return true;
}

void WizardController::ChooseOption(VolumeIdentifyOption option) {
    if (step_ != WizardStep::SelectDisk || worker_)
        return;
    option_ = option;
    view_.rangeShown = option == VolumeIdentifyOption::SearchPartition;
}

WizardController::NextAction WizardController::Next() {
    view_.next = false;
    if (worker_)
        return NextAction::None;
    switch (step_) {
    case WizardStep::SelectDisk:
        return option_ == VolumeIdentifyOption::UsePartitionTable ? NextAction::ReadLabel
                                                                  : NextAction::CheckRangeAndScan;
    case WizardStep::SelectVolume:
        return NextAction::ChooseModeAndMount;
    default:
        return NextAction::None;
    }
}

void WizardController::LeaveDiskStep() {
    view_.identifyShown = false;
    view_.rangeShown = false;
    view_.back = true;
    if (option_ == VolumeIdentifyOption::SearchPartition) {
        view_.next = false;
        view_.back = false;
        view_.stop = true;
        view_.progress = true;
    }
}

void WizardController::LabelRead(size_t volumes) {
    if (step_ != WizardStep::SelectDisk)
        return;
    if (volumes == 0) {
        view_.next = true; // the disk is still chosen: Search Partition may be tried next
        return;
    }
    LeaveDiskStep();
    view_.pane = LeftPane::Volumes;
    view_.paneEnabled = true;
    view_.menus = MenuState::Wizard;
    Layout(PanelLayout::VolumeInfo);
    view_.help = QuickHelp::ChoosePartition;
    step_ = WizardStep::SelectVolume;
}

void WizardController::RangeRefused() {
    view_.next = true;
}

void WizardController::OpenFailed() {
    view_.next = true; // the same disk may be tried again
}

void WizardController::ScanStarted() {
    LeaveDiskStep();
    view_.menus = MenuState::Wizard;
    Layout(PanelLayout::ScanProgress);
    view_.help = QuickHelp::Scanning;
    view_.pane = LeftPane::Volumes;
    view_.paneEnabled = false;
    worker_ = true;
}

void WizardController::ScanFinished() {
    view_.paneEnabled = true;
    view_.progress = false;
    view_.stop = false;
    view_.back = true;
    view_.menus = MenuState::Wizard;
    Layout(PanelLayout::VolumeInfo);
    view_.help = QuickHelp::ChoosePartition;
    worker_ = false;
    step_ = WizardStep::SelectVolume;
}

void WizardController::MountStarted() {
    view_.pane = LeftPane::Folders;
    view_.paneEnabled = false;
    view_.help = QuickHelp::Mounting;
    view_.progress = true;
    view_.back = false;
    view_.stop = false;
    view_.next = false;
    Layout(PanelLayout::MountProgress);
    worker_ = true;
}

void WizardController::StopAvailable(bool available) {
    if (worker_)
        view_.stop = available;
}

void WizardController::MountFinished(bool mounted) {
    worker_ = false;
    view_.stop = false;
    view_.progress = false;
    view_.back = true;
    view_.paneEnabled = true;
    if (!mounted) {
        view_.pane = LeftPane::Volumes;
        Layout(PanelLayout::VolumeInfo);
        view_.help = QuickHelp::ChoosePartition;
        return;
    }
    step_ = WizardStep::Browse;
    Layout(PanelLayout::HideAll);
    view_.listShown = true;
    view_.menus = MenuState::Browse;
    view_.help = QuickHelp::Browse;
}

WizardController::BackAction WizardController::Back() {
    if (worker_)
        return BackAction::None;
    view_.next = false;
    view_.listShown = false;
    if (step_ == WizardStep::SelectVolume) {
        view_.pane = LeftPane::Disks;
        view_.paneEnabled = true;
        view_.identifyShown = true;
        view_.back = false;
        view_.rangeShown = option_ == VolumeIdentifyOption::SearchPartition;
        view_.menus = MenuState::BackToDisk;
        Layout(PanelLayout::DiskInfo);
        step_ = WizardStep::SelectDisk;
        view_.help = QuickHelp::ChooseDiskAgain;
        return BackAction::CloseDisk;
    }
    if (step_ == WizardStep::Browse) {
        view_.pane = LeftPane::Volumes;
        view_.paneEnabled = true;
        step_ = WizardStep::SelectVolume;
        view_.menus = MenuState::Wizard;
        Layout(PanelLayout::VolumeInfoWithHelp);
        view_.help = QuickHelp::ChooseVolumeAgain;
        return BackAction::FreeVolume;
    }
    return BackAction::None;
}

bool WizardController::Enabled(Command command) const {
    switch (command) {
    case Command::Settings:
    case Command::BadSectorMap:
        return view_.menus != MenuState::AtStart || step_ == WizardStep::SelectDisk;
    default:
        return view_.menus == MenuState::Browse;
    }
}

bool WizardController::ContextMenuAllowed(bool rowSelected, bool listUsedLast) const {
    return step_ == WizardStep::Browse && !worker_ && rowSelected && listUsedLast;
}

} // namespace trevik::shell
