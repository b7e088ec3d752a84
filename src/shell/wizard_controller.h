#pragma once

#include <cstddef>
#include <cstdint>

namespace trevik::shell {

enum class WizardStep { Starting = -1, SelectDisk = 0, SelectVolume = 1, Browse = 2 };
enum class VolumeIdentifyOption { UsePartitionTable = 1, SearchPartition = 2 };
enum class PanelLayout {
    HideAll,
    DiskInfo,
    ScanProgress,
    MountProgress,
    VolumeInfo,
    VolumeInfoWithHelp
};
enum class MenuState { AtStart, Wizard, Browse, BackToDisk };
enum class QuickHelp {
    ChooseDisk,
    ChooseDiskAgain,
    ChoosePartition,
    ChooseVolume,
    ChooseVolumeAgain,
    Scanning,
    Mounting,
    Browse
};
enum class LeftPane { Disks, Volumes, Folders };
// The commands whose items the wizard greys and enables.
enum class Command {
    RecoverSelected,
    RecoverAll,
    Icons,
    List,
    Details,
    FindFiles,
    FileFilters,
    Settings,
    BadSectorMap,
    DriveInformation
};

// What the window shows at a point of the wizard. Buttons are shown exactly when enabled.
struct WizardView {
    LeftPane pane = LeftPane::Disks;
    bool paneEnabled = true;
    bool listShown = false;
    bool identifyShown = true; // the identify options and Add Disk Image
    bool rangeShown = false;   // the scan range
    bool next = false;
    bool back = false;
    bool stop = false;
    bool progress = false;
    PanelLayout panel = PanelLayout::DiskInfo;
    // Counts the layouts chosen: a new count means the panel is laid out afresh (values blank),
    // even when the layout is the one already shown.
    uint32_t panelRevision = 0;
    QuickHelp help = QuickHelp::ChooseDisk;
    MenuState menus = MenuState::AtStart;
};

// The wizard's steps, from a disk to a volume to browsing what the mount recovered: what
// Next, Back, Stop, the identify options, the tree selections and the workers' ends do to
// the step and to what the window shows. No widgets: the window applies View() after each
// event, and the tests drive it directly.
class WizardController {
public:
    enum class NextAction { None, ReadLabel, CheckRangeAndScan, ChooseModeAndMount };
    enum class BackAction { None, CloseDisk, FreeVolume };

    WizardStep Step() const { return step_; }
    VolumeIdentifyOption Option() const { return option_; }
    const WizardView& View() const { return view_; }
    bool WorkerRunning() const { return worker_; }

    // The start-up sequence: the disks are listed, the step becomes SelectDisk.
    void Start();
    // A disk or a volume became the selection (click, keys or code). False, and nothing
    // changes, when the step does not take that kind of selection or a worker runs.
    bool SelectDisk();
    bool SelectVolume();
    void ChooseOption(VolumeIdentifyOption option);

    // Next: the common prefix is applied (Next hidden); the caller then does what is returned
    // and reports its outcome below.
    NextAction Next();
    void LabelRead(size_t volumes); // none: the step stays
    void RangeRefused();            // Next shown again
    void OpenFailed();              // the disk could not be opened: the step stays
    void ScanStarted();
    void ScanFinished();
    void MountStarted();
    void StopAvailable(bool available);
    // False when nothing could be mounted: back to the volume list as it was.
    void MountFinished(bool mounted);
    BackAction Back();

    // The enabling table for the current menu state.
    bool Enabled(Command command) const;
    // The list's context menu: only while browsing, no worker busy, a row selected and the
    // list used last.
    bool ContextMenuAllowed(bool rowSelected, bool listUsedLast) const;

private:
    void Layout(PanelLayout layout);
    void LeaveDiskStep();

    WizardStep step_ = WizardStep::Starting;
    VolumeIdentifyOption option_ = VolumeIdentifyOption::UsePartitionTable;
    bool worker_ = false;
    WizardView view_;
};

} // namespace trevik::shell
