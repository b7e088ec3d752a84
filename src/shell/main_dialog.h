#pragma once

#include "recovery/extraction.h"
#include "recovery/session.h"
#include "shell/dialogs.h"
#include "shell/message_service.h"
#include "shell/percent_progress_bar.h"
#include "shell/tree_models.h"
#include "shell/worker_bridge.h"
#include "ufs/mount.h"

#include <QMainWindow>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTableView;
class QToolButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

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
enum class Transition {
    LeaveDiskStep,
    ReturnToDiskStep,
    ScanFinished,
    EnterBrowse,
    ReturnToVolumeStep
};
enum class ViewMode { Icons, List, Details };

// The one window: a wizard from a disk to a volume to browsing what the mount recovered.
class MainDialog : public QMainWindow {
    Q_OBJECT
public:
    MainDialog(MessageService& messages, DesktopService& desktop, const QStringList& images,
               QWidget* parent = nullptr);
    ~MainDialog() override;

    // Asked before each mount; empty means Cancel. Shows the mode dialog unless replaced.
    std::function<std::optional<RecoveryMode>()> chooseMode;
    // Asked for the destination of a copy; empty means cancel.
    std::function<QString()> chooseDestination;
    std::function<QString()> chooseBadMap; // tests answer the file dialog
    // Asked for the program of "Open With...".
    std::function<QString()> chooseProgram;

    // The wizard's buttons and commands.
    void Next();
    void Back();
    void Stop();
    void ChooseSearchPartition();
    void ChooseUsePartitionTable();
    void ClickDisk(int k);
    void ClickVolume(int i);
    void ClickFolder(const QModelIndex& index);
    void OpenSelectedItem(bool openWith = false);
    void RecoverSelected();
    void RecoverAll();
    void ShowFindFiles();
    void ShowFileFilters();
    void ShowSettings();
    void LoadBadSectorMap();
    void ShowDriveInformation();
    void ShowHelpContents();
    void ShowAbout();
    void OpenProductWebPage();
    void Rename();
    void ShowProperties();
    // The values the properties dialog shows for a list row.
    PropertiesValues ComputeProperties(int row) const;
    void SetViewMode(ViewMode mode);
    bool ContextMenuAllowed() const;
    QString AddDiskImage(const QString& path); // empty on success, else the reason
    void ExitCommand();

    // State, for tests and the screenshot command.
    WizardStep Step() const { return step_; }
    bool WorkerRunning() const { return worker_.joinable(); }
    Session& SessionState() { return session_; }
    MountedVolume* Mounted() { return mounted_.get(); }
    bool treeHasFocus = false;
    bool labelEditing = false;

    QTreeWidget* diskTree = nullptr;
    QTreeWidget* volumeTree = nullptr;
    QTreeView* folderTree = nullptr;
    QTableView* details = nullptr;
    QListView* iconList = nullptr;
    QStackedWidget* listStack = nullptr;
    FolderTreeModel* folderModel = nullptr;
    FileListModel* listModel = nullptr;
    QPushButton* next = nullptr;
    QPushButton* back = nullptr;
    QPushButton* stop = nullptr;
    QPushButton* addImage = nullptr;
    QRadioButton* searchPartition = nullptr;
    QRadioButton* usePartitionTable = nullptr;
    QLineEdit* startSector = nullptr;
    QLineEdit* endSector = nullptr;
    QGroupBox* identifyBox = nullptr;
    QGroupBox* rangeBox = nullptr;
    QLabel* panelLabels[5] = {};
    QLabel* panelValues[5] = {};
    QLabel* statusLine = nullptr;
    QLabel* quickHelp = nullptr;
    PercentProgressBar* progress = nullptr;
    QMenu* contextMenu = nullptr;
    QAction* actRecoverSelected = nullptr;
    QAction* actRecoverAll = nullptr;
    QAction* actExit = nullptr;
    QAction* actIcons = nullptr;
    QAction* actList = nullptr;
    QAction* actDetails = nullptr;
    QAction* actFind = nullptr;
    QAction* actFilters = nullptr;
    QAction* actSettings = nullptr;
    QAction* actBadMap = nullptr;
    QAction* actDriveInfo = nullptr;
    QAction* actContents = nullptr;
    QAction* actAbout = nullptr;
    QAction* ctxOpenWith = nullptr;

signals:
    void WorkerFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildWidgets();
    void BuildMenus();
    void ApplyStepControls(Transition t);
    void ApplyMenuState(MenuState state);
    void ShowPanelLayout(PanelLayout layout);
    void SetQuickHelp(const QStringList& lines);
    void ShowRange(bool shown);
    void StartScanWorker();
    void StartMountWorker();
    void ScanFinishedOnUi();
    void MountFinishedOnUi(std::shared_ptr<Result<MountedVolume>> result);
    void ReportMount();
    void ReportCopy(const ExtractionSummary& summary);
    void StopAndJoinWorker();
    void ShowContextMenu(const QPoint& pos);
    int SelectedRow() const;
    void FillList(uint32_t inode);
    void RunCopy(const std::vector<ExtractItem>& items, bool all, const QString& destination);
    QString DestinationOrAsk();

    MessageService& messages_;
    DesktopService& desktop_;
    Session session_;
    std::unique_ptr<MountedVolume> mounted_;
    RecoveryMode mode_ = RecoveryMode::Normal;
    WizardStep step_ = WizardStep::Starting;
    VolumeIdentifyOption option_ = VolumeIdentifyOption::UsePartitionTable;
    uint32_t scanStart_ = 0;
    uint32_t scanEnd_ = 0;
    WorkerBridge bridge_;
    std::thread worker_;
    std::unique_ptr<QTemporaryDir> openedFiles_;
    QString startupDirectory_;
};

// The quick-help texts, each line as the window shows it.
namespace help {
extern const QStringList kChooseDisk, kChooseDiskAgain, kChoosePartition, kChooseVolume,
    kChooseVolumeAgain, kScanning, kMounting, kBrowse;
}

} // namespace trevik::shell
