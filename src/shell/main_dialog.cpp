#include "shell/main_dialog.h"

#include "recovery/extraction.h"
#include "shell/dialogs.h"
#include "shell/find_files_dialog.h"
#include "shell/save_progress_dialog.h"
#include "text/messages.h"
#include "ufs/names.h"
#include "ufs/ufs_time.h"
#include "volume/disk_label.h"
#include "volume/superblock_scan.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QValidator>
#include <unordered_set>

namespace trevik::shell {

namespace help {
const QStringList kChooseDisk = {"1. Select the disk to recover from left pane.",
                                 "2. Select the Volume Identify Option.", "3. Click Next Button."};
const QStringList kChooseDiskAgain = {"1. Select the disk to scan from left pane.",
                                      "2. Select the scan type.", "3. Click Next Button."};
const QStringList kChoosePartition = {"1. Select the Partition to recover from left pane.",
                                      "2. Click Next Button."};
const QStringList kChooseVolume = {"1. Select the Volume to recover from left pane.",
                                   "2. Click Next Button."};
const QStringList kChooseVolumeAgain = {
    "1. Select the volume to recover from left pane or use Search Partitions for a quick search of "
    "missing partitions.",
    "2. Click Next Button"};
const QStringList kScanning = {"Please Wait, Trevik is searching for partitions. Once this process "
                               "is completed, it will show you all the Partitions."};
const QStringList kMounting = {
    "Please Wait, Trevik is mounting the selected file system. Once this "
    "process is completed, it will show you the                       data."};
const QStringList kBrowse = {
    "Please select the file(s) and folder(s) to recover from right pane and copy using   Recover "
    "Selected      or                             Recover All options from the Recovery Menu.",
    "You can open a file by Double Clicking it."};
} // namespace help

namespace {

const char* const kNoPartition =
    "No Solaris Partition Found  !! \r\nSelect Search Partition and than Click Next.";
const char* const kBadStart =
    "      Start sector value is not valid, It should be a positive number";
const char* const kBadEnd = "      End sector value is not valid, It should be a positive number";
const char* const kInverted = "      End sector should be bigger than start sector";

QString Shown(std::string_view bytes) {
    return QString::fromStdString(DisplayName(bytes));
}

std::optional<uint32_t> ParseField(const QString& text) {
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok);
    if (!ok || text.isEmpty() || text.startsWith('+') || v > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(v);
}

QIcon Themed(const char* name, QStyle::StandardPixmap fallback) {
    return QIcon::fromTheme(name, QApplication::style()->standardIcon(fallback));
}

} // namespace

MainDialog::MainDialog(MessageService& messages, DesktopService& desktop, const QStringList& images,
                       QWidget* parent)
    : QMainWindow(parent), messages_(messages), desktop_(desktop) {
    setWindowTitle(kCaption);
    setWindowIcon(Themed("drive-harddisk", QStyle::SP_DriveHDIcon));
    startupDirectory_ = QDir::currentPath();
    BuildWidgets();
    BuildMenus();

    // The disk list: the machine's disks, then the images named on the command line.
    step_ = WizardStep::Starting;
    session_.disks = EnumerateDisks();
    step_ = WizardStep::SelectDisk;
    QStringList refused;
    for (const QString& image : images) {
        const Status added = AddImageDisk(session_.disks, image.toStdString());
        if (!added)
            refused << QString::fromStdString(added.error());
    }
    auto* root = new QTreeWidgetItem(diskTree, {"My Computer"});
    root->setIcon(0, Themed("computer", QStyle::SP_ComputerIcon));
    for (size_t k = 0; k < session_.disks.listedCount; ++k) {
        auto* item = new QTreeWidgetItem(root, {QString::fromStdString(DiskItemName(k))});
        item->setIcon(0, Themed("drive-harddisk", QStyle::SP_DriveHDIcon));
    }
    root->setExpanded(true);
    ApplyMenuState(MenuState::AtStart);
    ShowPanelLayout(PanelLayout::DiskInfo);
    SetQuickHelp(help::kChooseDisk);
    usePartitionTable->setChecked(true);
    ShowRange(false);
    progress->hide();
    for (auto* b : {next, back, stop}) {
        b->setEnabled(false);
        b->hide();
    }
    listStack->hide();
    for (const QString& r : refused)
        messages_.ShowMessage(this, MessageKind::Error, r);
}

MainDialog::~MainDialog() {
    StopAndJoinWorker();
    folderModel->SetTree(nullptr, {});
    listModel->SetTree(nullptr);
}

void MainDialog::BuildWidgets() {
    auto* central = new QWidget;
    auto* outer = new QVBoxLayout(central);

    auto* splitter = new QSplitter;
    auto* left = new QWidget;
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    auto* trees = new QStackedWidget;
    diskTree = new QTreeWidget;
    volumeTree = new QTreeWidget;
    folderTree = new QTreeView;
    for (QTreeView* t :
         {static_cast<QTreeView*>(diskTree), static_cast<QTreeView*>(volumeTree), folderTree}) {
        t->setHeaderHidden(true);
        t->setUniformRowHeights(true);
        t->installEventFilter(this);
        trees->addWidget(t);
    }
    folderModel = new FolderTreeModel(this);
    folderTree->setModel(folderModel);
    leftLayout->addWidget(trees);
    addImage = new QPushButton("Add Disk Image...");
    leftLayout->addWidget(addImage);
    splitter->addWidget(left);

    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    auto* panel = new QGridLayout;
    for (int r = 0; r < 5; ++r) {
        panelLabels[r] = new QLabel;
        panelValues[r] = new QLabel;
        panelValues[r]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        panel->addWidget(panelLabels[r], r, 0);
        panel->addWidget(panelValues[r], r, 1);
    }
    panel->setColumnStretch(1, 1);
    statusLine = new QLabel;
    panel->addWidget(statusLine, 5, 0, 1, 2);
    rightLayout->addLayout(panel);

    identifyBox = new QGroupBox("Volume Identify Options");
    auto* idLayout = new QHBoxLayout(identifyBox);
    usePartitionTable = new QRadioButton("Use Partition Table");
    searchPartition = new QRadioButton("Search Partition");
    idLayout->addWidget(usePartitionTable);
    idLayout->addWidget(searchPartition);
    auto* idHelp = new QToolButton;
    idHelp->setText("?");
    idHelp->setToolTip(
        "<b>Volume Identify Options</b><br><b>Use Partition Table</b><br>This is fast "
        "mode for recovering data.<br>Select this if your volume table is intact.<br>"
        "<b>Search Partition</b><br>This is deep and more efficient method<br>for "
        "recovering data , select this if<br>Partition Table is deleted or volume is missing.");
    idLayout->addWidget(idHelp);
    idLayout->addStretch();
    rightLayout->addWidget(identifyBox);

    rangeBox = new QGroupBox("Select Range");
    auto* rangeLayout = new QHBoxLayout(rangeBox);
    startSector = new QLineEdit;
    endSector = new QLineEdit;
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
    startSector->setValidator(digits);
    endSector->setValidator(digits);
    rangeLayout->addWidget(new QLabel("Start Sector"));
    rangeLayout->addWidget(startSector);
    rangeLayout->addWidget(new QLabel("End Sector"));
    rangeLayout->addWidget(endSector);
    auto* rangeHelp = new QToolButton;
    rangeHelp->setText("?");
    rangeHelp->setToolTip("<b>Scan Control</b><br>Here select the disk area to scan. Don't change "
                          "<br>if you want to scan the whole disk.");
    rangeLayout->addWidget(rangeHelp);
    rightLayout->addWidget(rangeBox);

    listModel = new FileListModel(this);
    listStack = new QStackedWidget;
    details = new QTableView;
    details->setModel(listModel);
    details->setSelectionBehavior(QAbstractItemView::SelectRows);
    details->setShowGrid(true);
    details->verticalHeader()->hide();
    details->verticalHeader()->setDefaultSectionSize(details->fontMetrics().height() + 6);
    details->horizontalHeader()->setHighlightSections(false);
    details->setEditTriggers(QAbstractItemView::NoEditTriggers);
    details->setContextMenuPolicy(Qt::CustomContextMenu);
    const int widths[] = {150, 100, 70, 100, 70, 70};
    for (int c = 0; c < 6; ++c)
        details->setColumnWidth(c, widths[c]);
    details->horizontalHeader()->setStretchLastSection(true);
    iconList = new QListView;
    iconList->setModel(listModel);
    iconList->setSelectionModel(details->selectionModel()); // one selection for every view
    iconList->setUniformItemSizes(true);
    iconList->setContextMenuPolicy(Qt::CustomContextMenu);
    iconList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    iconList->setResizeMode(QListView::Adjust);
    for (QAbstractItemView* v :
         {static_cast<QAbstractItemView*>(details), static_cast<QAbstractItemView*>(iconList)}) {
        v->installEventFilter(this);
        v->setSelectionMode(QAbstractItemView::ExtendedSelection);
        connect(v, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex&) {
            treeHasFocus = false;
            if (step_ == WizardStep::Browse)
                OpenSelectedItem(false);
        });
        connect(v, &QAbstractItemView::clicked, this, [this] { treeHasFocus = false; });
        connect(v, &QWidget::customContextMenuRequested, this, &MainDialog::ShowContextMenu);
    }
    connect(listModel, &FileListModel::FolderRenamed, folderModel, &FolderTreeModel::FolderRenamed);
    listStack->addWidget(details);
    listStack->addWidget(iconList);
    rightLayout->addWidget(listStack, 1);
    rightLayout->addStretch();
    splitter->addWidget(right);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({260, 640});
    outer->addWidget(splitter, 1);

    quickHelp = new QLabel;
    quickHelp->setWordWrap(true);
    quickHelp->setFrameShape(QFrame::StyledPanel);
    outer->addWidget(quickHelp);
    auto* bottom = new QHBoxLayout;
    progress = new PercentProgressBar;
    progress->setRange(0, 100);
    bottom->addWidget(progress, 1);
    back = new QPushButton("< Back");
    next = new QPushButton("Next >");
    stop = new QPushButton("Stop");
    back->setToolTip("Go to previous step");
    next->setToolTip("Go to next step");
    stop->setToolTip("Stops the current process");
    bottom->addStretch();
    bottom->addWidget(back);
    bottom->addWidget(next);
    bottom->addWidget(stop);
    outer->addLayout(bottom);
    setCentralWidget(central);

    connect(next, &QPushButton::clicked, this, &MainDialog::Next);
    connect(back, &QPushButton::clicked, this, &MainDialog::Back);
    connect(stop, &QPushButton::clicked, this, &MainDialog::Stop);
    connect(searchPartition, &QRadioButton::clicked, this, &MainDialog::ChooseSearchPartition);
    connect(usePartitionTable, &QRadioButton::clicked, this, &MainDialog::ChooseUsePartitionTable);
    connect(diskTree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        treeHasFocus = true;
        if (item->parent() != nullptr)
            ClickDisk(diskTree->topLevelItem(0)->indexOfChild(item));
    });
    connect(volumeTree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        treeHasFocus = true;
        if (item->parent() != nullptr)
            ClickVolume(volumeTree->topLevelItem(0)->indexOfChild(item));
    });
    connect(folderTree, &QTreeView::clicked, this, &MainDialog::ClickFolder);
    connect(addImage, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, "Add Disk Image");
        if (path.isEmpty())
            return;
        const QString error = AddDiskImage(path);
        if (!error.isEmpty())
            messages_.ShowMessage(this, MessageKind::Error, error);
    });
    resize(980, 680);
}

void MainDialog::BuildMenus() {
    QMenu* recovery = menuBar()->addMenu("&Recovery");
    actRecoverSelected =
        recovery->addAction(Themed("document-save", QStyle::SP_DialogSaveButton),
                            "&Recover Selected...", this, &MainDialog::RecoverSelected);
    actRecoverAll = recovery->addAction(Themed("document-save-all", QStyle::SP_DriveFDIcon),
                                        "Recover &All...", this, &MainDialog::RecoverAll);
    recovery->addSeparator();
    actExit = recovery->addAction("E&xit...", this, &MainDialog::ExitCommand);
    QMenu* view = menuBar()->addMenu("&View");
    actIcons = view->addAction("Ico&ns", this, [this] { SetViewMode(ViewMode::Icons); });
    actList = view->addAction("&List", this, [this] { SetViewMode(ViewMode::List); });
    actDetails = view->addAction("&Details", this, [this] { SetViewMode(ViewMode::Details); });
    QMenu* tools = menuBar()->addMenu("&Tools");
    actFind = tools->addAction(Themed("edit-find", QStyle::SP_FileDialogContentsView),
                               "&Find Files...", this, &MainDialog::ShowFindFiles);
    actFilters = tools->addAction("File Fi&lters...", this, &MainDialog::ShowFileFilters);
    actSettings = tools->addAction(Themed("preferences-system", QStyle::SP_FileDialogDetailedView),
                                   "Se&ttings...", this, &MainDialog::ShowSettings);
    actBadMap = tools->addAction("Load &Bad Sector Map...", this, &MainDialog::LoadBadSectorMap);
    actBadMap->setToolTip("Reads a GNU ddrescue mapfile: what the rescue could not read is "
                          "never read again and is reported lost");
    tools->addSeparator();
    actDriveInfo = tools->addAction("&Drive Information", this, &MainDialog::ShowDriveInformation);
    QMenu* helpMenu = menuBar()->addMenu("&Help");
    actContents = helpMenu->addAction("&Contents", this, &MainDialog::ShowHelpContents);
    actAbout =
        helpMenu->addAction("&About Trevik Recovery (Solaris)...", this, &MainDialog::ShowAbout);

    // The toolbar shares the menu's actions: a greyed item greys its button too.
    QToolBar* bar = addToolBar("Toolbar");
    bar->setMovable(false);
    bar->addAction(actRecoverSelected);
    bar->addAction(actRecoverAll);
    bar->addAction(actFind);
    bar->addAction(actSettings);
    bar->widgetForAction(actRecoverSelected)
        ->setToolTip("Copy the selected file(s) and folder(s) to your computer");
    bar->widgetForAction(actRecoverAll)
        ->setToolTip("Copy all the file(s) and folder(s) to your computer");
    bar->widgetForAction(actFind)->setToolTip("Search the file(s) in the recovered data");
    bar->widgetForAction(actSettings)->setToolTip("Configures the software");
    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);
    QAction* home = bar->addAction(Themed("go-home", QStyle::SP_DirHomeIcon), "Home page", this,
                                   &MainDialog::OpenProductWebPage);
    bar->widgetForAction(home)->setToolTip("Click here to visit software home page");

    contextMenu = new QMenu("Right Click", this);
    contextMenu->addAction("&Open", this, [this] {
        if (step_ == WizardStep::Browse)
            OpenSelectedItem(false);
    });
    ctxOpenWith = contextMenu->addAction("Open &With...", this, [this] {
        if (step_ == WizardStep::Browse)
            OpenSelectedItem(true);
    });
    contextMenu->addSeparator();
    contextMenu->addAction("&Recover Selected...", this, &MainDialog::RecoverSelected);
    contextMenu->addAction("Recover &All...", this, &MainDialog::RecoverAll);
    contextMenu->addSeparator();
    QMenu* ctxView = contextMenu->addMenu("&View");
    ctxView->addAction("Ico&ns     ", this, [this] { SetViewMode(ViewMode::Icons); });
    ctxView->addAction("&List", this, [this] { SetViewMode(ViewMode::List); });
    ctxView->addAction("&Details", this, [this] { SetViewMode(ViewMode::Details); });
    contextMenu->addSeparator();
    contextMenu->addAction("&Find Files...", this, &MainDialog::ShowFindFiles);
    contextMenu->addSeparator();
    contextMenu->addAction("Re&name", this, &MainDialog::Rename);
    contextMenu->addSeparator();
    contextMenu->addAction("&Settings...", this, &MainDialog::ShowSettings);
    contextMenu->addSeparator();
    contextMenu->addAction("&Properties...", this, &MainDialog::ShowProperties);
}

void MainDialog::ApplyMenuState(MenuState state) {
    const bool browse = state == MenuState::Browse;
    for (QAction* a : {actRecoverSelected, actRecoverAll, actIcons, actList, actDetails, actFind,
                       actFilters, actDriveInfo}) {
        a->setEnabled(browse);
    }
    actSettings->setEnabled(state != MenuState::AtStart || step_ == WizardStep::SelectDisk);
    actBadMap->setEnabled(actSettings->isEnabled());
}

void MainDialog::SetQuickHelp(const QStringList& lines) {
    quickHelp->setText(lines.join('\n'));
}

void MainDialog::ShowPanelLayout(PanelLayout layout) {
    auto set = [this](std::initializer_list<const char*> labels) {
        int r = 0;
        for (const char* l : labels) {
            panelLabels[r]->setText(l);
            panelValues[r]->clear();
            panelLabels[r]->setVisible(true);
            panelValues[r]->setVisible(true);
            ++r;
        }
        for (; r < 5; ++r) {
            panelLabels[r]->clear();
            panelValues[r]->clear();
            panelLabels[r]->hide();
            panelValues[r]->hide();
        }
    };
    if (layout == PanelLayout::ScanProgress && option_ == VolumeIdentifyOption::UsePartitionTable) {
        layout = PanelLayout::VolumeInfo;
    }
    statusLine->hide();
    statusLine->clear();
    switch (layout) {
    case PanelLayout::HideAll:
        set({});
        break;
    case PanelLayout::DiskInfo:
        set({"Model                  ", "Capacity              ", "Cylinders              ",
             "Head                   ", "Sectors Per Track "});
        break;
    case PanelLayout::ScanProgress:
        set({"Partition(s) Found  ", "Current Sector", "End Sector     "});
        panelValues[0]->setText("0");
        panelValues[1]->setText("0");
        panelValues[2]->setText(QString::number(scanEnd_));
        statusLine->setText("Searching for Pools. This may take long time. Pleae wait");
        statusLine->show();
        ShowRange(false);
        break;
    case PanelLayout::MountProgress:
        set({"Folder(s) Found    ", "File(s) Found      ", "Current Sector       ",
             "Last File/Folder       "});
        statusLine->setText("Mounting volume, please wait...");
        statusLine->show();
        break;
    case PanelLayout::VolumeInfo:
    case PanelLayout::VolumeInfoWithHelp:
        set({"Volume Type  ", "Volume Name    ", "Volume Start      ", "Volume Size     "});
        if (layout == PanelLayout::VolumeInfoWithHelp)
            SetQuickHelp(help::kChooseVolume);
        break;
    }
}

void MainDialog::ShowRange(bool shown) {
    rangeBox->setVisible(shown);
}

void MainDialog::ApplyStepControls(Transition t) {
    switch (t) {
    case Transition::LeaveDiskStep:
        diskTree->hide();
        diskTree->setEnabled(false);
        listModel->Clear();
        identifyBox->hide();
        addImage->hide();
        back->setEnabled(true);
        back->show();
        if (option_ == VolumeIdentifyOption::SearchPartition) {
            next->setEnabled(false);
            next->hide();
            back->setEnabled(false);
            back->hide();
            stop->show();
            stop->setEnabled(true);
            progress->setValue(0);
            progress->show();
        }
        break;
    case Transition::ReturnToDiskStep:
        diskTree->show();
        diskTree->setEnabled(true);
        static_cast<QStackedWidget*>(diskTree->parentWidget())->setCurrentWidget(diskTree);
        volumeTree->setEnabled(false);
        listModel->Clear();
        identifyBox->show();
        addImage->show();
        back->setEnabled(false);
        back->hide();
        ShowRange(option_ == VolumeIdentifyOption::SearchPartition);
        break;
    case Transition::ScanFinished:
        volumeTree->setEnabled(true);
        session_.stopRequested = false;
        progress->hide();
        statusLine->hide();
        stop->setEnabled(false);
        stop->hide();
        back->show();
        back->setEnabled(true);
        ApplyMenuState(MenuState::Wizard);
        ShowPanelLayout(PanelLayout::VolumeInfo);
        SetQuickHelp(help::kChoosePartition);
        break;
    case Transition::EnterBrowse:
        static_cast<QStackedWidget*>(folderTree->parentWidget())->setCurrentWidget(folderTree);
        listModel->Clear();
        statusLine->setText("Creating Tree Structure, Please wait");
        break;
    case Transition::ReturnToVolumeStep:
        static_cast<QStackedWidget*>(volumeTree->parentWidget())->setCurrentWidget(volumeTree);
        volumeTree->setEnabled(true);
        folderTree->setEnabled(false);
        listModel->Clear();
        break;
    }
}

void MainDialog::ChooseSearchPartition() {
    option_ = VolumeIdentifyOption::SearchPartition;
    ShowRange(true);
    startSector->setText("0");
    const DiskEntry* d =
        session_.disks.Listed(static_cast<size_t>(std::max(session_.selectedDisk, 0)));
    endSector->setText(QString::number(d != nullptr ? DefaultScanEnd(d->totalSectors) : 0));
}

void MainDialog::ChooseUsePartitionTable() {
    option_ = VolumeIdentifyOption::UsePartitionTable;
    ShowRange(false);
}

QString MainDialog::AddDiskImage(const QString& path) {
    const size_t before = session_.disks.listedCount;
    const Status added = trevik::AddImageDisk(session_.disks, path.toStdString());
    if (!added)
        return QString::fromStdString(added.error());
    auto* item = new QTreeWidgetItem(diskTree->topLevelItem(0),
                                     {QString::fromStdString(DiskItemName(before))});
    item->setIcon(0, Themed("drive-harddisk", QStyle::SP_DriveHDIcon));
    diskTree->topLevelItem(0)->setExpanded(true);
    return {};
}

void MainDialog::ClickDisk(int k) {
    if (step_ != WizardStep::SelectDisk || WorkerRunning())
        return;
    const DiskEntry* d = session_.disks.Listed(static_cast<size_t>(k));
    if (d == nullptr)
        return;
    session_.selectedDisk = k;
    startSector->setText("0");
    endSector->setText(QString::number(DefaultScanEnd(d->totalSectors)));
    ShowPanelLayout(PanelLayout::DiskInfo);
    panelValues[0]->setText(QString::fromStdString(d->model));
    panelValues[1]->setText(QString::fromStdString(CapacityText(d->totalSectors)));
    panelValues[2]->setText(QString::number(d->cylinders));
    panelValues[3]->setText(QString::number(d->heads));
    panelValues[4]->setText(QString::number(d->sectorsPerTrack));
    next->setEnabled(true);
    next->show();
}

void MainDialog::ClickVolume(int i) {
    if (step_ != WizardStep::SelectVolume || WorkerRunning())
        return;
    if (i < 0 || static_cast<size_t>(i) >= session_.volumes.Count())
        return;
    session_.selectedVolume = i;
    const PartitionEntry& e = session_.volumes[static_cast<size_t>(i)];
    listModel->Clear();
    ShowPanelLayout(PanelLayout::VolumeInfo);
    panelValues[0]->setText("UFS");
    panelValues[1]->setText(QString::fromStdString(e.name));
    panelValues[2]->setText(QString::number(e.startSector));
    panelValues[3]->setText(QString::number(e.sizeSectors / 2048) + " MB ( Approx )");
    next->setEnabled(true);
    next->show();
}

void MainDialog::Next() {
    session_.filters.Clear();
    next->setEnabled(false);
    next->hide();
    SetViewMode(ViewMode::Details);
    if (step_ == WizardStep::SelectDisk) {
        // The disk chosen now, whatever an earlier refused Next had opened.
        session_.CloseDisk();
        const Status opened =
            session_.OpenDisk(static_cast<size_t>(std::max(session_.selectedDisk, 0)));
        if (!opened) {
            messages_.ShowMessage(this, MessageKind::Error, QString::fromStdString(opened.error()));
            return;
        }
        if (option_ == VolumeIdentifyOption::UsePartitionTable) {
            if (ReadDiskLabel(session_.Reader(), session_.volumes) == 0) {
                messages_.ShowMessage(this, MessageKind::Information, kNoPartition);
                return;
            }
            volumeTree->clear();
            auto* root = new QTreeWidgetItem(volumeTree, {"Partitions"});
            for (const auto& e : session_.volumes.Entries()) {
                new QTreeWidgetItem(root, {QString::fromStdString(e.name)});
            }
            root->setExpanded(true);
            ApplyStepControls(Transition::LeaveDiskStep);
            static_cast<QStackedWidget*>(volumeTree->parentWidget())->setCurrentWidget(volumeTree);
            volumeTree->setEnabled(true);
            ApplyMenuState(MenuState::Wizard);
            ShowPanelLayout(PanelLayout::VolumeInfo);
            SetQuickHelp(help::kChoosePartition);
            step_ = WizardStep::SelectVolume;
            return;
        }
        const auto s = ParseField(startSector->text());
        if (!s) {
            messages_.ShowMessage(this, MessageKind::Error, kBadStart);
            next->setEnabled(true);
            next->show();
            return;
        }
        scanStart_ = *s;
        const auto e = ParseField(endSector->text());
        if (!e) {
            messages_.ShowMessage(this, MessageKind::Error, kBadEnd);
            next->setEnabled(true);
            next->show();
            return;
        }
        scanEnd_ = *e;
        if (scanEnd_ <= scanStart_) {
            messages_.ShowMessage(this, MessageKind::Error, kInverted);
            next->setEnabled(true);
            next->show();
            return;
        }
        ApplyStepControls(Transition::LeaveDiskStep);
        ApplyMenuState(MenuState::Wizard);
        ShowPanelLayout(PanelLayout::ScanProgress);
        SetQuickHelp(help::kScanning);
        volumeTree->clear();
        new QTreeWidgetItem(volumeTree, {"Partitions"});
        static_cast<QStackedWidget*>(volumeTree->parentWidget())->setCurrentWidget(volumeTree);
        volumeTree->setEnabled(false);
        StartScanWorker();
        return;
    }
    if (step_ == WizardStep::SelectVolume) {
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
        mode_ = *mode;
        StartMountWorker();
    }
}

void MainDialog::Back() {
    SetViewMode(ViewMode::Details);
    next->setEnabled(false);
    next->hide();
    listModel->Clear();
    listStack->hide();
    if (step_ == WizardStep::SelectVolume) {
        session_.CloseDisk();
        ApplyStepControls(Transition::ReturnToDiskStep);
        ApplyMenuState(MenuState::BackToDisk);
        ShowPanelLayout(PanelLayout::DiskInfo);
        step_ = WizardStep::SelectDisk;
        SetQuickHelp(help::kChooseDiskAgain);
    } else if (step_ == WizardStep::Browse) {
        folderModel->SetTree(nullptr, {});
        listModel->SetTree(nullptr);
        mounted_.reset();
        ApplyStepControls(Transition::ReturnToVolumeStep);
        step_ = WizardStep::SelectVolume;
        ApplyMenuState(MenuState::Wizard);
        ShowPanelLayout(PanelLayout::VolumeInfoWithHelp);
        SetQuickHelp(help::kChooseVolumeAgain);
        statusLine->hide();
        statusLine->clear();
    }
}

void MainDialog::Stop() {
    if (messages_.AskYesNo(this, MessageKind::Question,
                           "Do you want to stop the current process ?")) {
        session_.stopRequested = true;
    }
}

void MainDialog::StartScanWorker() {
    session_.workerBusy = true;
    ScanOptions o;
    o.startSector = scanStart_;
    o.endSector = scanEnd_;
    o.sectorsPerRead = session_.settings.sectorsPerRead;
    worker_ = std::thread([this, o] {
        struct Poster final : ScanObserver {
            MainDialog* d;
            void OnScanProgress(const ScanProgress& p) override {
                d->bridge_.PostLatest("scan", [d = d, p] {
                    d->panelValues[1]->setText(QString::number(p.currentSector));
                    d->statusLine->setText(QString::fromStdString(p.Line()));
                    d->statusLine->show();
                    d->progress->setValue(static_cast<int>(std::min<uint32_t>(p.percent, 100)));
                });
            }
            void OnVolumeFound(const PartitionEntry& e, size_t count) override {
                d->bridge_.Post([d = d, e, count] {
                    new QTreeWidgetItem(d->volumeTree->topLevelItem(0),
                                        {QString::fromStdString(e.name)});
                    d->volumeTree->topLevelItem(0)->setExpanded(true);
                    d->panelValues[0]->setText(QString::number(count));
                });
            }
        } poster;
        poster.d = this;
        ScanForVolumes(session_.Reader(), o, session_.volumes, session_.stopRequested, &poster);
        bridge_.Post([this] { ScanFinishedOnUi(); });
    });
}

void MainDialog::ScanFinishedOnUi() {
    if (worker_.joinable())
        worker_.join();
    ApplyStepControls(Transition::ScanFinished);
    session_.workerBusy = false;
    step_ = WizardStep::SelectVolume;
    emit WorkerFinished();
}

void MainDialog::StartMountWorker() {
    volumeTree->setEnabled(false);
    static_cast<QStackedWidget*>(folderTree->parentWidget())->setCurrentWidget(folderTree);
    folderTree->setEnabled(false);
    folderModel->SetTree(nullptr, {});
    listModel->SetTree(nullptr);
    mounted_.reset();
    session_.workerBusy = true;
    SetQuickHelp(help::kMounting);
    progress->setValue(0);
    progress->show();
    for (auto* b : {back, stop}) {
        b->setEnabled(false);
        b->hide();
    }
    ShowPanelLayout(PanelLayout::MountProgress);
    const PartitionEntry entry =
        session_.volumes[static_cast<size_t>(std::max(session_.selectedVolume, 0))];
    const RecoveryMode mode = mode_;
    worker_ = std::thread([this, entry, mode] {
        struct Poster final : MountObserver {
            MainDialog* d;
            void OnPhase(MountPhase phase) override {
                d->bridge_.Post([d = d, phase] {
                    d->statusLine->setText(QString::fromUtf8(text::PhaseCaption(phase)));
                    d->statusLine->show();
                });
            }
            void OnProgress(uint32_t p) override {
                d->bridge_.PostLatest("progress",
                                      [d = d, p] { d->progress->setValue(static_cast<int>(p)); });
            }
            void OnCurrentSector(uint64_t s) override {
                d->bridge_.PostLatest(
                    "sector", [d = d, s] { d->panelValues[2]->setText(QString::number(s)); });
            }
            void OnFolderAdded(uint32_t n, std::string_view name) override {
                d->bridge_.PostLatest("folders", [d = d, n, name = Shown(name)] {
                    d->panelValues[0]->setText(QString::number(n));
                    d->panelValues[3]->setText(name);
                });
            }
            void OnFileAdded(uint32_t n, std::string_view name) override {
                d->bridge_.PostLatest("files", [d = d, n, name = Shown(name)] {
                    d->panelValues[1]->setText(QString::number(n));
                    d->panelValues[3]->setText(name);
                });
            }
            void OnStopAvailable(bool available) override {
                d->bridge_.Post([d = d, available] {
                    d->stop->setEnabled(available);
                    d->stop->setVisible(available);
                });
            }
        } poster;
        poster.d = this;
        auto result = std::make_shared<Result<MountedVolume>>(
            MountVolume(session_.Reader(), entry, mode, session_.stopRequested, &poster));
        bridge_.Post([this, result] { MountFinishedOnUi(result); });
    });
}

void MainDialog::MountFinishedOnUi(std::shared_ptr<Result<MountedVolume>> result) {
    if (worker_.joinable())
        worker_.join();
    session_.stopRequested = false;
    stop->setEnabled(false);
    stop->hide();
    if (!*result) {
        // Nothing was mounted: back to the volume list as it was.
        session_.workerBusy = false;
        progress->hide();
        ApplyStepControls(Transition::ReturnToVolumeStep);
        ShowPanelLayout(PanelLayout::VolumeInfo);
        SetQuickHelp(help::kChoosePartition);
        back->setEnabled(true);
        back->show();
        messages_.ShowMessage(this, MessageKind::Error, QString::fromStdString(result->error()));
        emit WorkerFinished();
        return;
    }
    mounted_ = std::make_unique<MountedVolume>(result->Take());
    step_ = WizardStep::Browse;
    ApplyStepControls(Transition::EnterBrowse);
    progress->setValue(0);
    // The panes: models over the recovered tree, built in linear time.
    folderModel->SetTree(&mounted_->tree, QString::fromStdString(mounted_->entry.name));
    listModel->SetTree(&mounted_->tree);
    folderTree->expand(folderModel->RootIndex());
    folderTree->setCurrentIndex(folderModel->RootIndex());
    FillList(kRootInode);
    folderTree->setEnabled(true);
    ShowPanelLayout(PanelLayout::HideAll);
    listStack->show();
    back->setEnabled(true);
    back->show();
    progress->hide();
    ApplyMenuState(MenuState::Browse);
    session_.workerBusy = false;
    SetQuickHelp(help::kBrowse);
    ReportMount();
    emit WorkerFinished();
}

void MainDialog::StopAndJoinWorker() {
    if (!worker_.joinable())
        return;
    session_.stopRequested = true;
    worker_.join();
    bridge_.SetHeld(true); // its last updates refer to what is being torn down
}

void MainDialog::FillList(uint32_t inode) {
    session_.workerBusy = false;
    listModel->Fill(inode, session_.filters);
}

void MainDialog::ClickFolder(const QModelIndex& index) {
    if (step_ != WizardStep::Browse)
        return;
    treeHasFocus = true;
    const QModelIndex item = index.isValid() ? index : folderModel->RootIndex();
    folderTree->setCurrentIndex(item);
    OpenSelectedItem(false);
}

int MainDialog::SelectedRow() const {
    const QModelIndex current = details->selectionModel()->currentIndex();
    if (current.isValid() && details->selectionModel()->isRowSelected(current.row(), {})) {
        return current.row();
    }
    const auto rows = details->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void MainDialog::OpenSelectedItem(bool openWith) {
    if (mounted_ == nullptr)
        return;
    QModelIndex item;
    if (treeHasFocus) {
        item = folderTree->currentIndex();
        if (!item.isValid())
            return;
    } else {
        const int row = SelectedRow();
        if (row < 0)
            return;
        const FileListModel::Row& r = listModel->RowAt(row);
        if (!r.folder) {
            // A file: copied out of the image into a private folder, then handed over.
            if (!openedFiles_)
                openedFiles_ = std::make_unique<QTemporaryDir>();
            const QString dir = openedFiles_->path() + "/" + QString::number(r.index);
            RunCopy({{false, r.index}}, false, dir);
            // The one file the copy wrote, under whatever name it had to take.
            const QStringList written = QDir(dir).entryList(QDir::Files | QDir::System |
                                                            QDir::Hidden | QDir::NoDotAndDotDot);
            if (written.size() != 1)
                return;
            const QString file = dir + "/" + written.first();
            if (openWith) {
                const QString program =
                    chooseProgram ? chooseProgram()
                                  : QFileDialog::getOpenFileName(this, "Open With", "/usr/bin");
                if (!program.isEmpty())
                    desktop_.OpenWith(program, file);
            } else {
                desktop_.OpenUrl(QUrl::fromLocalFile(file));
            }
            return;
        }
        item = folderModel->FolderIndex(r.index);
    }
    FillList(folderModel->InodeOf(item));
    folderTree->setFocus();
    folderTree->setCurrentIndex(item);
    treeHasFocus = true;
    for (QModelIndex p = item.parent(); p.isValid(); p = p.parent())
        folderTree->expand(p);
}

QString MainDialog::DestinationOrAsk() {
    if (chooseDestination)
        return chooseDestination();
    return QFileDialog::getExistingDirectory(this, "Select the folder to copy into");
}

void MainDialog::RunCopy(const std::vector<ExtractItem>& items, bool all,
                         const QString& destination) {
    SaveProgressDialog dialog(this);
    const std::string dest = destination.toStdString();
    ExtractionOptions options;
    options.duplicates = session_.settings.duplicatePolicy;
    options.rawNames = session_.settings.rawNames;
    MountedVolume* volume = mounted_.get();
    SectorReader& reader = session_.Reader();
    const ExtractionSummary s =
        dialog.Run([=, &reader](ExtractionControl& c, ExtractionObserver& o) {
            return ExtractItems(*volume, reader, items, all, dest, options, c, &o);
        });
    if (!s.error.empty()) {
        messages_.ShowMessage(this, MessageKind::Error, QString::fromStdString(s.error));
    }
    ReportCopy(s);
}

// After a mount: what the tree holds and, when anything was lost, what.
void MainDialog::ReportMount() {
    const RecoveredTree& t = mounted_->tree;
    uint64_t bytes = 0;
    for (const FileNode& f : t.Files())
        bytes += f.size;
    QStringList lines;
    for (const Warning& w : mounted_->warnings)
        lines << QString::fromStdString(text::WarningMessage(w));
    QString summary = QString("Recovered %1 file(s) in %2 folder(s), %3 bytes.")
                          .arg(t.FileCount())
                          .arg(t.FolderCount())
                          .arg(bytes);
    summary += lines.isEmpty()
                   ? QString("\nNothing was found unreadable or damaged.")
                   : QString("\n%1 problem(s) were found; what they cost is listed below.")
                         .arg(lines.size());
    messages_.ShowReport(this, summary, lines);
}

// After a copy: what was written, and every file that is incomplete or was skipped.
void MainDialog::ReportCopy(const ExtractionSummary& s) {
    QStringList lines;
    // Items that could not be written at all are listed with their reason instead.
    std::unordered_set<std::string> notWritten;
    for (const SkippedItem& k : s.skippedItems)
        notWritten.insert(k.path);
    for (const std::string& p : s.incomplete) {
        if (notWritten.count(p) == 0)
            lines << "Incomplete (unreadable parts written as zeros): " + QString::fromStdString(p);
    }
    for (const SkippedItem& k : s.skippedItems)
        lines << "Not written: " + QString::fromStdString(k.path) + " (" +
                     QString::fromStdString(k.reason) + ")";
    for (const std::string& p : s.damaged)
        lines << "Damaged, not written: " + QString::fromStdString(p);
    for (const RenamedItem& r : s.renamed)
        lines << "Renamed: " + QString::fromStdString(r.from) + " -> " +
                     QString::fromStdString(r.to);
    QString summary = QString("Recovered %1 file(s), %2 bytes, into %3 new folder(s).")
                          .arg(s.filesWritten)
                          .arg(s.bytesWritten)
                          .arg(s.foldersCreated);
    if (s.skipped != 0)
        summary +=
            QString("\n%1 file(s) skipped (already there, or skipped by you).").arg(s.skipped);
    if (s.specialsSkipped != 0)
        summary +=
            QString("\n%1 device file(s), FIFO(s) or socket(s) not copied.").arg(s.specialsSkipped);
    if (s.stopped)
        summary += "\nThe copy was stopped before it was complete.";
    if (!s.incomplete.empty())
        summary += QString("\n%1 item(s) are incomplete: unreadable parts were written as "
                           "zeros, or the item could not be written.")
                       .arg(s.incomplete.size());
    if (!s.renamed.empty())
        summary += QString("\n%1 item(s) were written under another name (same-named items, "
                           "names too long for the destination).")
                       .arg(s.renamed.size());
    if (!s.damaged.empty())
        summary += QString("\n%1 damaged item(s) were not written: their inodes cannot be what "
                           "they claim.")
                       .arg(s.damaged.size());
    messages_.ShowReport(this, summary, lines);
}

void MainDialog::RecoverSelected() {
    if (step_ != WizardStep::Browse || mounted_ == nullptr)
        return;
    std::vector<ExtractItem> items;
    for (const QModelIndex& i : details->selectionModel()->selectedRows()) {
        const FileListModel::Row& r = listModel->RowAt(i.row());
        items.push_back({r.folder, r.index});
    }
    if (items.empty())
        return;
    const QString dest = DestinationOrAsk();
    if (dest.isEmpty())
        return;
    RunCopy(items, false, dest);
}

void MainDialog::RecoverAll() {
    if (step_ != WizardStep::Browse || mounted_ == nullptr)
        return;
    const QString dest = DestinationOrAsk();
    if (dest.isEmpty())
        return;
    RunCopy({}, true, dest);
}

void MainDialog::ShowFindFiles() {
    if (mounted_ == nullptr)
        return;
    FindFilesDialog dialog(mounted_->tree, *listModel, messages_, this);
    dialog.exec();
}

void MainDialog::ShowFileFilters() {
    FiltersDialog dialog(session_.filters, messages_, this);
    dialog.exec();
    if (mounted_ != nullptr) {
        folderTree->setFocus();
        folderTree->setCurrentIndex(folderModel->RootIndex());
        treeHasFocus = true;
        FillList(kRootInode);
    }
}

void MainDialog::LoadBadSectorMap() {
    const QString path = chooseBadMap
                             ? chooseBadMap()
                             : QFileDialog::getOpenFileName(
                                   this, "Load Bad Sector Map", QDir::homePath(),
                                   "GNU ddrescue mapfiles (*.map *.mapfile *.log);;All files (*)");
    if (path.isEmpty())
        return;
    const Status loaded = session_.LoadBadSectorMap(path.toStdString());
    if (!loaded) {
        messages_.ShowMessage(this, MessageKind::Error, QString::fromStdString(loaded.error()));
        return;
    }
    messages_.ShowMessage(this, MessageKind::Information,
                          QString("Bad sector map loaded: %1 sector(s) in %2 area(s) will not be "
                                  "read, and what they hold will be reported lost.")
                              .arg(session_.BadMapSectors())
                              .arg(session_.BadMapAreas()));
}

void MainDialog::ShowSettings() {
    SettingsDialog dialog(session_.settings, this);
    if (dialog.exec() == QDialog::Accepted)
        session_.ApplySettings();
}

void MainDialog::ShowDriveInformation() {
    if (mounted_ == nullptr)
        return;
    DriveInformationDialog dialog(MakeDriveInformation(*mounted_), this);
    dialog.exec();
}

void MainDialog::ShowHelpContents() {
    const QString path = startupDirectory_ + "/Trevik for Solaris (SPARC).chm";
    if (!QFileInfo::exists(path)) {
        messages_.ShowMessage(this, MessageKind::Error,
                              " Trevik for Solaris (SPARC).chm not found");
        return;
    }
    desktop_.OpenUrl(QUrl::fromLocalFile(path));
}

void MainDialog::ShowAbout() {
    AboutDialog dialog(this);
    dialog.exec();
}

void MainDialog::OpenProductWebPage() {
    const QByteArray configured = qgetenv("TREVIK_HOME_PAGE");
    if (!configured.isEmpty()) {
        desktop_.OpenUrl(QUrl::fromUserInput(QString::fromLocal8Bit(configured)));
        return;
    }
    const QString appDir = QCoreApplication::applicationDirPath();
    // Installed, or beside the program in the build tree.
    for (const QString& candidate :
         {appDir + "/../share/doc/trevik/index.html", appDir + "/doc/index.html"}) {
        if (QFileInfo::exists(candidate)) {
            desktop_.OpenUrl(QUrl::fromLocalFile(QFileInfo(candidate).absoluteFilePath()));
            return;
        }
    }
}

void MainDialog::SetViewMode(ViewMode mode) {
    if (mode == ViewMode::Details) {
        listStack->setCurrentWidget(details);
        return;
    }
    iconList->setViewMode(mode == ViewMode::Icons ? QListView::IconMode : QListView::ListMode);
    iconList->setFlow(mode == ViewMode::Icons ? QListView::LeftToRight : QListView::TopToBottom);
    iconList->setWrapping(true);
    listStack->setCurrentWidget(iconList);
}

bool MainDialog::ContextMenuAllowed() const {
    return !treeHasFocus && step_ == WizardStep::Browse && !session_.workerBusy &&
           SelectedRow() >= 0;
}

void MainDialog::ShowContextMenu(const QPoint& pos) {
    treeHasFocus = false;
    if (!ContextMenuAllowed())
        return;
    const QString type = listModel->TypeText(SelectedRow());
    ctxOpenWith->setEnabled(type.compare("Folder", Qt::CaseInsensitive) != 0 &&
                            type.compare("Deleted Folder", Qt::CaseInsensitive) != 0);
    auto* view = qobject_cast<QWidget*>(sender());
    contextMenu->popup(view != nullptr ? view->mapToGlobal(pos) : QCursor::pos());
}

void MainDialog::Rename() {
    if (treeHasFocus || step_ != WizardStep::Browse)
        return;
    const int row = SelectedRow();
    if (row < 0)
        return;
    labelEditing = true;
    listModel->editingAllowed = true;
    QAbstractItemView* view =
        listStack->currentWidget() == details ? static_cast<QAbstractItemView*>(details) : iconList;
    view->edit(listModel->index(row, 0));
}

PropertiesValues MainDialog::ComputeProperties(int row) const {
    const FileListModel::Row& r = listModel->RowAt(row);
    const RecoveredTree& t = mounted_->tree;
    PropertiesValues v;
    v.name = listModel->data(listModel->index(row, 0), Qt::DisplayRole).toString();
    v.date = listModel->data(listModel->index(row, 3), Qt::DisplayRole).toString();
    v.time = listModel->data(listModel->index(row, 4), Qt::DisplayRole).toString();
    auto foundText = [](Found f) -> QString {
        switch (f) {
        case Found::Walk:
            return "Named by its folder";
        case Found::InodeScan:
            return "Found by the inode scan";
        case Found::Orphan:
            return "In use, but named by no folder";
        case Found::DirBlocks:
            return "Rebuilt from directory blocks";
        }
        return {};
    };
    if (!r.folder) {
        v.size = QString::number(t.Files()[r.index].size / 1024 + 1) + " KB";
        if (t.Files()[r.index].damaged)
            v.status = "Damaged";
        v.found = foundText(t.Files()[r.index].found);
        return v;
    }
    v.found = foundText(t.Folders()[r.index].found);
    // The folder's whole subtree.
    struct Sum final : SubtreeVisitor {
        const RecoveredTree& t;
        uint64_t files = 0, bytes = 0, folders = 0;
        explicit Sum(const RecoveredTree& tree) : t(tree) {}
        bool EnterFolder(uint32_t, size_t) override {
            ++folders;
            return true;
        }
        void VisitFile(uint32_t f, size_t) override {
            ++files;
            bytes += t.Files()[f].size;
        }
    } sum(t);
    t.WalkSubtree(t.Folders()[r.index].inode, WalkOrder::FilesFirst, sum);
    const uint64_t files = sum.files, bytes = sum.bytes, folders = sum.folders + 1;
    const uint64_t mb = bytes / 1024 / 1024;
    v.size = (mb == 0 ? QStringLiteral("Less than 1") : QString::number(mb)) + " MB";
    v.contains =
        QString::number(files) + " File(s) and " + QString::number(folders - 1) + " Folder(s)";
    return v;
}

void MainDialog::ShowProperties() {
    const int row = SelectedRow();
    if (row < 0 || mounted_ == nullptr)
        return;
    PropertiesDialog dialog(ComputeProperties(row), this);
    dialog.exec();
}

void MainDialog::ExitCommand() {
    close();
}

void MainDialog::closeEvent(QCloseEvent* event) {
    if (!messages_.AskYesNo(this, MessageKind::Question, "Do you really want to exit ?")) {
        event->ignore();
        return;
    }
    StopAndJoinWorker();
    folderModel->SetTree(nullptr, {});
    listModel->SetTree(nullptr);
    mounted_.reset();
    OpenProductWebPage();
    event->accept();
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool inList = watched == details || watched == iconList;
        switch (key->key()) {
        case Qt::Key_F1:
            ShowHelpContents();
            return true;
        case Qt::Key_F2:
            if (step_ == WizardStep::Browse && !labelEditing && inList) {
                treeHasFocus = false;
                Rename();
            }
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (labelEditing)
                return false;
            if (step_ == WizardStep::Browse)
                OpenSelectedItem(false);
            return true;
        case Qt::Key_Tab:
            if (labelEditing || step_ != WizardStep::Browse)
                return false;
            if (treeHasFocus) {
                listStack->currentWidget()->setFocus();
                treeHasFocus = false;
            } else {
                folderTree->setFocus();
                treeHasFocus = true;
            }
            return true;
        case Qt::Key_Menu:
            ShowContextMenu(QPoint(0, 0));
            return true;
        default:
            break;
        }
    }
    if (event->type() == QEvent::FocusIn && (watched == details || watched == iconList) &&
        labelEditing) {
        // The in-place editor closed (Enter, Escape or a click elsewhere).
        labelEditing = false;
        listModel->editingAllowed = false;
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace trevik::shell
