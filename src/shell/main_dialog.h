#pragma once

#include "recovery/session.h"
#include "shell/background_job.h"
#include "shell/browse_pane.h"
#include "shell/command_bar.h"
#include "shell/disk_list.h"
#include "shell/disk_options.h"
#include "shell/message_service.h"
#include "shell/percent_progress_bar.h"
#include "shell/status_panel.h"
#include "shell/wizard_controller.h"

#include <QMainWindow>
#include <functional>
#include <optional>
#include <set>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTreeWidget;

namespace trevik::shell {

// The one window: a wizard from a disk to a volume to browsing what the mount recovered,
// assembled from the wizard controller, the status panel, the browse pane and one
// background job.
class MainDialog : public QMainWindow {
    Q_OBJECT
public:
    // `machineDisks` false lists only the images (the screenshots of the manual).
    MainDialog(MessageService& messages, DesktopService& desktop, const QStringList& images,
               QWidget* parent = nullptr, bool machineDisks = true);
    ~MainDialog() override;

    // Asked before each mount; empty means Cancel. Shows the mode dialog unless replaced.
    std::function<std::optional<RecoveryMode>()> chooseMode;
    // Asked for the destination of a copy; empty means cancel.
    std::function<QString()> chooseDestination;

    // The wizard's buttons and commands.
    void Next();
    void Back();
    void Stop();
    void ChooseSearchPartition();
    void ChooseUsePartitionTable();
    // Makes listed disk k (volume i) the tree's selection, as a click or the keys do.
    void SelectDisk(int k);
    void SelectVolume(int i);
    void RecoverSelected();
    void RecoverAll();
    void ShowFindFiles();
    void ShowFileFilters();
    void ShowHelpContents();
    QString AddDiskImage(const QString& path); // empty on success, else the reason
    // Lists a metadevice put together from its components; empty on success, else why not.
    QString AddMetadevice(const LayoutSpec& layout);
    // Lists the metadevices the state database on the listed images records, each once
    // for each way it can be put together from them ("SVM d10: stripe of 3, 204 MB").
    void OfferMetadevices();
    // Asks for a metadevice's layout (Open Metadevice) and lists it. Tests replace the
    // file picker of its Add Images button.
    void OpenMetadeviceDialog();
    std::function<QStringList()> pickComponentFiles;
    void ExitCommand();

    // The parts, for tests and the screenshot command.
    WizardStep Step() const { return wizard_.Step(); }
    const WizardController& Wizard() const { return wizard_; }
    bool WorkerRunning() const { return job_->Running(); }
    Session& SessionState() { return session_; }
    MountedVolume* Mounted() const { return session_.Mounted(); }
    BrowsePane& Browser() { return *browse_; }
    StatusPanel& Panel() { return *panel_; }
    QTreeWidget* DiskTree() const { return diskTree_; }
    QTreeWidget* VolumeTree() const { return volumeTree_; }
    QPushButton* NextButton() const { return next_; }
    QPushButton* BackButton() const { return back_; }
    QPushButton* StopButton() const { return stop_; }
    PercentProgressBar* Progress() const { return progress_; }
    QString QuickHelpText() const;
    DiskOptions& Options() const { return *options_; }
    CommandBar& Commands() const { return *commands_; }
    QAction* MenuAction(Command command) const { return commands_->Action(command); }

signals:
    void WorkerFinished();
    void VolumeChanged(MountedVolume* volume);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // F1 in a dialog opens the manual at that dialog's page.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildWidgets();
    void ApplyView();
    void DiskChosen(int k);
    void VolumeChosen(int i);
    void ReadLabel();
    void CheckRangeAndScan();
    void StartMount();
    void MountEnded(std::shared_ptr<Result<MountedVolume>> result);
    // A background job ended: a Stop question still open is closed.
    void JobEnded();
    // Puts the keyboard focus in the list the step shows.
    void FocusStepList();
    QString DestinationOrAsk();

    MessageService& messages_;
    DesktopService& desktop_;
    Session session_;
    WizardController wizard_;
    BackgroundJob* job_ = nullptr;
    StatusPanel* panel_ = nullptr;
    BrowsePane* browse_ = nullptr;
    uint64_t scanStart_ = 0;
    uint64_t scanEnd_ = 0;
    uint32_t panelRevision_ = UINT32_MAX;

    QStackedWidget* trees_ = nullptr;
    QTreeWidget* diskTree_ = nullptr;
    QTreeWidget* volumeTree_ = nullptr;
    QPushButton* addImage_ = nullptr;
    QPushButton* addMetadevice_ = nullptr;
    DiskList* diskList_ = nullptr;
    uint64_t jobsEnded_ = 0; // counts the background jobs that ended
    DiskOptions* options_ = nullptr;
    QLabel* quickHelp_ = nullptr;
    PercentProgressBar* progress_ = nullptr;
    QPushButton* next_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* stop_ = nullptr;
    CommandBar* commands_ = nullptr;
};

} // namespace trevik::shell
