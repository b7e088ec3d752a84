#include "shell/main_dialog.h"

#include "shell/command_bar.h"
#include "shell/copy_out.h"
#include "shell/dialogs.h"
#include "shell/find_files_dialog.h"
#include "shell/help_texts.h"
#include "shell/progress_reporters.h"
#include "shell/themed_icon.h"
#include "text/messages.h"
#include "ufs/names.h"
#include "volume/disk_label.h"
#include "volume/state_database.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QTableView>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace trevik::shell {

namespace {

// The status panel's type of a volume: "UFS"; where the partition holds no UFS, what the
// label calls it or what it holds instead.
QString VolumeTypeText(const PartitionEntry& e) {
    if (e.content != ForeignFormat::None)
        return QString::fromStdString(text::ForeignFormatName(e.content));
    if (!HoldsUfs(e))
        return QString::fromStdString(text::TagName(e.tag));
    return "UFS";
}

QString VolumeToolTip(const PartitionEntry& e) {
    QString tip = QString(e.label == LabelKind::Efi ? "EFI label" : "SPARC label") + ", " +
                  QString::fromStdString(text::TagName(e.tag));
    if (!e.typeGuid.empty())
        tip += ", type " + QString::fromStdString(e.typeGuid);
    if (!HoldsUfs(e))
        tip += "\n" + QString::fromStdString(text::NotUfsMessage(e));
    return tip;
}

const char* const kNoPartition =
    "No Solaris Partition Found  !! \r\nSelect Search Partition and than Click Next.";

// Makes child k of the tree's root item its current item. True when it already was: then
// no change is signalled, and the caller acts on the choice itself.
bool MakeCurrent(QTreeWidget* tree, int k) {
    QTreeWidgetItem* root = tree->topLevelItem(0);
    QTreeWidgetItem* item = root != nullptr ? root->child(k) : nullptr;
    if (item == nullptr)
        return false;
    if (tree->currentItem() == item)
        return true;
    tree->setCurrentItem(item);
    return false;
}

} // namespace

MainDialog::MainDialog(MessageService& messages, DesktopService& desktop, const QStringList& images,
                       QWidget* parent, bool machineDisks)
    : QMainWindow(parent), messages_(messages), desktop_(desktop) {
    setWindowTitle(kCaption);
    setWindowIcon(ThemedIcon("drive-harddisk", QStyle::SP_DriveHDIcon));
    setAcceptDrops(true);
    job_ = new BackgroundJob(this);
    connect(job_, &BackgroundJob::Finished, this, &MainDialog::WorkerFinished);
    BuildWidgets();
    commands_ = new CommandBar(*this, session_, messages_, desktop_);
    connect(commands_, &CommandBar::RecoverSelected, this, &MainDialog::RecoverSelected);
    connect(commands_, &CommandBar::RecoverAll, this, &MainDialog::RecoverAll);
    connect(commands_, &CommandBar::Exit, this, &MainDialog::ExitCommand);
    connect(commands_, &CommandBar::ViewChosen, browse_, &BrowsePane::SetViewMode);
    connect(commands_, &CommandBar::FindFiles, this, &MainDialog::ShowFindFiles);
    connect(commands_, &CommandBar::FileFilters, this, &MainDialog::ShowFileFilters);
    connect(commands_, &CommandBar::HelpContents, this, &MainDialog::ShowHelpContents);
    connect(browse_, &BrowsePane::SettingsRequested, commands_, &CommandBar::ShowSettings);
    // The models follow the mounted volume through one signal.
    session_.onMountedChanged = [this](MountedVolume* v) { emit VolumeChanged(v); };
    connect(this, &MainDialog::VolumeChanged, browse_, &BrowsePane::SetVolume);

    // The disk list: the machine's disks, then the images named on the command line.
    wizard_.Start();
    qApp->installEventFilter(this); // F1 in the dialogs
    if (machineDisks)
        session_.disks = EnumerateDisks();
    QStringList refused;
    for (const QString& image : images) {
        const Status added = AddImageDisk(session_.disks, image.toStdString());
        if (!added)
            refused << QString::fromStdString(added.error());
    }
    auto* root = new QTreeWidgetItem(diskTree_, {"My Computer"});
    root->setIcon(0, ThemedIcon("computer", QStyle::SP_ComputerIcon));
    for (size_t k = 0; k < session_.disks.listedCount; ++k)
        AddDiskItem(k);
    OfferMetadevices();
    root->setExpanded(true);
    ApplyView();
    const QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    resize(s != nullptr ? FirstSize({980, 680}, s->availableGeometry().size()) : QSize(980, 680));
    for (const QString& r : refused)
        messages_.ShowMessage(this, MessageKind::Error, r);
}

MainDialog::~MainDialog() {
    job_->Cancel();
    session_.SetMounted(nullptr);
    session_.onMountedChanged = nullptr;
}

void MainDialog::BuildWidgets() {
    auto* central = new QWidget;
    auto* outer = new QVBoxLayout(central);
    auto* splitter = new QSplitter;

    auto* left = new QWidget;
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    trees_ = new QStackedWidget;
    diskTree_ = new QTreeWidget;
    volumeTree_ = new QTreeWidget;
    panel_ = new StatusPanel;
    browse_ = new BrowsePane(session_, wizard_, messages_, desktop_, this);
    for (QTreeView* t : {static_cast<QTreeView*>(diskTree_), static_cast<QTreeView*>(volumeTree_),
                         browse_->FolderTree()}) {
        t->setHeaderHidden(true);
        t->setUniformRowHeights(true);
        trees_->addWidget(t);
    }
    leftLayout->addWidget(trees_);
    addImage_ = new QPushButton("Add Disk Image...");
    addImage_->setToolTip("Lists a disk image file (a raw copy of a disk) with the disks");
    leftLayout->addWidget(addImage_);
    addMetadevice_ = new QPushButton("Add &Metadevice...");
    addMetadevice_->setToolTip(
        "Lists a Solaris Volume Manager metadevice (a concatenation, stripe, RAID-5 set or "
        "mirror) put together from the images of its components");
    leftLayout->addWidget(addMetadevice_);
    splitter->addWidget(left);

    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->addWidget(panel_);

    options_ = new DiskOptions;
    rightLayout->addWidget(options_);
    rightLayout->addWidget(browse_->PathBar());
    rightLayout->addWidget(browse_->ListStack(), 1);
    rightLayout->addStretch();
    splitter->addWidget(right);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({260, 640});
    outer->addWidget(splitter, 1);

    quickHelp_ = new QLabel;
    quickHelp_->setWordWrap(true);
    quickHelp_->setFrameShape(QFrame::StyledPanel);
    outer->addWidget(quickHelp_);
    auto* bottom = new QHBoxLayout;
    progress_ = new PercentProgressBar;
    progress_->setRange(0, 100);
    bottom->addWidget(progress_, 1);
    back_ = new QPushButton("< &Back");
    next_ = new QPushButton("&Next >");
    stop_ = new QPushButton("Stop");
    back_->setToolTip("Go to previous step");
    next_->setToolTip("Go to next step");
    stop_->setToolTip("Stops the current process");
    bottom->addStretch();
    for (QPushButton* b : {back_, next_, stop_}) {
        b->setAutoDefault(false); // Enter is the window's: it goes to Next (keyPressEvent)
        // The bottom row keeps its height whichever buttons a step shows.
        QSizePolicy policy = b->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        b->setSizePolicy(policy);
        bottom->addWidget(b);
    }
    {
        QSizePolicy policy = progress_->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        progress_->setSizePolicy(policy);
    }
    outer->addLayout(bottom);
    setCentralWidget(central);

    connect(next_, &QPushButton::clicked, this, &MainDialog::Next);
    connect(back_, &QPushButton::clicked, this, &MainDialog::Back);
    connect(stop_, &QPushButton::clicked, this, &MainDialog::Stop);
    connect(options_, &DiskOptions::OptionChosen, this, [this](VolumeIdentifyOption o) {
        if (o == VolumeIdentifyOption::SearchPartition)
            ChooseSearchPartition();
        else
            ChooseUsePartitionTable();
    });
    // The selection, however it changes (click, keys, code), chooses the disk or volume.
    auto follow = [this](QTreeWidget* tree, auto chosen) {
        auto pick = [this, tree, chosen](QTreeWidgetItem* item) {
            if (item != nullptr && item->parent() != nullptr)
                (this->*chosen)(tree->topLevelItem(0)->indexOfChild(item));
        };
        connect(tree, &QTreeWidget::currentItemChanged, this, pick);
        connect(tree, &QTreeWidget::itemClicked, this, pick);
    };
    follow(diskTree_, &MainDialog::DiskChosen);
    follow(volumeTree_, &MainDialog::VolumeChosen);
    connect(browse_, &BrowsePane::RecoverSelectedRequested, this, &MainDialog::RecoverSelected);
    connect(browse_, &BrowsePane::RecoverAllRequested, this, &MainDialog::RecoverAll);
    connect(browse_, &BrowsePane::FindFilesRequested, this, &MainDialog::ShowFindFiles);
    connect(browse_, &BrowsePane::ListFilled, this, [this] {
        if (wizard_.Step() == WizardStep::Browse)
            panel_->SetStatusLine(browse_->StatusText());
    });
    connect(addMetadevice_, &QPushButton::clicked, this, &MainDialog::OpenMetadeviceDialog);
    connect(addImage_, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(
            this, "Add Disk Image", QDir::homePath(),
            "Disk images (*.img *.dd *.raw *.bin *.E01 *.e01 *.001 *.aa);;All files (*)");
        if (path.isEmpty())
            return;
        const QString error = AddDiskImage(path);
        if (!error.isEmpty())
            messages_.ShowMessage(this, MessageKind::Error, error);
    });
}

QString MainDialog::QuickHelpText() const {
    return quickHelp_->text();
}

// Shows what the wizard says the window shows now.
void MainDialog::ApplyView() {
    const WizardView& v = wizard_.View();
    QWidget* pane = v.pane == LeftPane::Disks     ? static_cast<QWidget*>(diskTree_)
                    : v.pane == LeftPane::Volumes ? static_cast<QWidget*>(volumeTree_)
                                                  : browse_->FolderTree();
    trees_->setCurrentWidget(pane);
    for (QWidget* t : {static_cast<QWidget*>(diskTree_), static_cast<QWidget*>(volumeTree_),
                       static_cast<QWidget*>(browse_->FolderTree())})
        t->setEnabled(t == pane && v.paneEnabled);
    browse_->ListStack()->setVisible(v.listShown);
    browse_->PathBar()->setVisible(v.listShown && wizard_.Step() == WizardStep::Browse);
    options_->SetIdentifyShown(v.identifyShown);
    addImage_->setVisible(v.identifyShown);
    addMetadevice_->setVisible(v.identifyShown);
    options_->SetRangeShown(v.rangeShown);
    for (auto [button, on] : {std::pair{next_, v.next}, {back_, v.back}, {stop_, v.stop}}) {
        button->setEnabled(on);
        button->setVisible(on);
    }
    if (v.progress && progress_->isHidden())
        progress_->setValue(0);
    progress_->setVisible(v.progress);
    if (v.panelRevision != panelRevision_) {
        panelRevision_ = v.panelRevision;
        panel_->ShowLayout(v.panel, scanEnd_);
    }
    quickHelp_->setText(QuickHelpLines(v.help).join('\n'));
    commands_->Apply(wizard_);
}

void MainDialog::AddDiskItem(size_t k) {
    const DiskEntry& d = session_.disks.entries[k];
    if (d.layout) {
        // "SVM stripe of 3, 204 MB": a metadevice is named by what it is.
        auto* item = new QTreeWidgetItem(diskTree_->topLevelItem(0),
                                         {d.metadevice.empty()
                                              ? QString::fromStdString(d.model) + ", " +
                                                    QString::number(d.totalSectors / 2048) + " MB"
                                              : QString::fromStdString(d.model)});
        item->setIcon(0, ThemedIcon("drive-multidisk", QStyle::SP_DriveHDIcon));
        QString tip = QString::fromStdString(d.model) + ":";
        for (const std::string& c : d.layout->components)
            tip += "\n" + (c == kMissingComponent ? QString("(missing: rebuilt or left out)")
                                                  : QString::fromStdString(c));
        item->setToolTip(0, tip);
        return;
    }
    auto* item =
        new QTreeWidgetItem(diskTree_->topLevelItem(0), {QString::fromStdString(DiskItemName(k))});
    const bool image = QFileInfo(QString::fromStdString(d.devicePath)).isFile();
    item->setIcon(0, image ? ThemedIcon("application-x-raw-disk-image", QStyle::SP_FileIcon)
                           : ThemedIcon("drive-harddisk", QStyle::SP_DriveHDIcon));
    item->setToolTip(0, QString("%1\n%2\n%3")
                            .arg(QString::fromStdString(d.devicePath),
                                 image ? QString("Disk image") : QString::fromStdString(d.model),
                                 QString::fromStdString(CapacityText(d.totalSectors))));
}

QString MainDialog::AddMetadevice(const LayoutSpec& layout) {
    const size_t before = session_.disks.listedCount;
    const Status added = trevik::AddLayoutDisk(session_.disks, layout);
    if (!added)
        return QString::fromStdString(added.error());
    AddDiskItem(before);
    diskTree_->topLevelItem(0)->setExpanded(true);
    return {};
}

void MainDialog::OpenMetadeviceDialog() {
    // Components lie side by side: each pick starts where the last one was made.
    auto pick = pickComponentFiles ? pickComponentFiles : [this] {
        const QStringList files = QFileDialog::getOpenFileNames(
            this, "Add Component Images",
            componentFolder_.isEmpty() ? QDir::homePath() : componentFolder_,
            "Disk images (*.img *.dd *.raw *.bin *.E01 *.e01 *.001 *.aa);;All files (*)");
        if (!files.isEmpty())
            componentFolder_ = QFileInfo(files.back()).absolutePath();
        return files;
    };
    MetadeviceDialog dialog(messages_, pick, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString error = AddMetadevice(*dialog.Spec());
    if (!error.isEmpty())
        messages_.ShowMessage(this, MessageKind::Error, error);
}

QString MainDialog::AddDiskImage(const QString& path) {
    const size_t before = session_.disks.listedCount;
    const Status added = trevik::AddImageDisk(session_.disks, path.toStdString());
    if (!added)
        return QString::fromStdString(added.error());
    AddDiskItem(before);
    OfferMetadevices();
    diskTree_->topLevelItem(0)->setExpanded(true);
    return {};
}

void MainDialog::OfferMetadevices() {
    // Images only: the machine's own disks may be failing, and are not read before the
    // user picks one (Add Metadevice... puts theirs together).
    std::vector<DiskSource> sources;
    for (size_t k = 0; k < session_.disks.listedCount; ++k) {
        const DiskEntry& d = session_.disks.entries[k];
        if (!d.layout && QFileInfo(QString::fromStdString(d.devicePath)).isFile())
            sources.push_back({d.devicePath, ""});
    }
    if (sources.size() < 1)
        return;
    std::atomic<bool> stop{false};
    const MetadeviceSearch search = FindMetadevices(sources, stop);
    for (const FoundMetadevice& m : search.found) {
        if (!m.layout)
            continue; // not yet: its components are on images not listed
        std::string key = m.name;
        for (const std::string& c : m.layout->components)
            key += "\n" + c;
        if (!offeredMetadevices_.insert(key).second)
            continue;
        std::string model = m.description;
        for (size_t i = 0; i < m.missing.size(); ++i)
            model += (i == 0 ? " (missing: " : ", ") + m.missing[i];
        if (!m.missing.empty())
            model += ")";
        const size_t before = session_.disks.listedCount;
        if (AddLayoutDisk(session_.disks, *m.layout, model, m.name))
            AddDiskItem(before);
    }
}

void MainDialog::SelectDisk(int k) {
    if (MakeCurrent(diskTree_, k))
        DiskChosen(k);
}

void MainDialog::SelectVolume(int i) {
    if (MakeCurrent(volumeTree_, i))
        VolumeChosen(i);
}

void MainDialog::DiskChosen(int k) {
    const DiskEntry* d = session_.disks.Listed(static_cast<size_t>(k));
    if (d == nullptr || !wizard_.SelectDisk())
        return;
    session_.selectedDisk = k;
    options_->SetDefaultRange(DefaultScanEnd(d->totalSectors));
    ApplyView();
    panel_->SetDisk(QString::fromStdString(d->model),
                    QString::fromStdString(CapacityText(d->totalSectors)), d->cylinders, d->heads,
                    d->sectorsPerTrack);
}

void MainDialog::VolumeChosen(int i) {
    if (i < 0 || static_cast<size_t>(i) >= session_.volumes.Count() || !wizard_.SelectVolume())
        return;
    session_.selectedVolume = i;
    const PartitionEntry& e = session_.volumes[static_cast<size_t>(i)];
    browse_->ClearList();
    ApplyView();
    panel_->SetVolume(VolumeTypeText(e), QString::fromStdString(e.name), e.startSector,
                      QString::number(e.sizeSectors / 2048) + " MB ( Approx )");
}

void MainDialog::ChooseSearchPartition() {
    wizard_.ChooseOption(VolumeIdentifyOption::SearchPartition);
    const DiskEntry* d =
        session_.disks.Listed(static_cast<size_t>(std::max(session_.selectedDisk, 0)));
    options_->SetDefaultRange(d != nullptr ? DefaultScanEnd(d->totalSectors) : 0);
    ApplyView();
}

void MainDialog::ChooseUsePartitionTable() {
    wizard_.ChooseOption(VolumeIdentifyOption::UsePartitionTable);
    ApplyView();
}

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
        const Status opened =
            session_.OpenDisk(static_cast<size_t>(std::max(session_.selectedDisk, 0)));
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
    volumeTree_->clear();
    auto* root = new QTreeWidgetItem(volumeTree_, {"Partitions"});
    for (const auto& e : session_.volumes.Entries()) {
        auto* item = new QTreeWidgetItem(root, {QString::fromStdString(e.name)});
        item->setToolTip(0, VolumeToolTip(e));
    }
    root->setExpanded(true);
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
    const PartitionEntry entry =
        session_.volumes[static_cast<size_t>(std::max(session_.selectedVolume, 0))];
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
        const DiskEntry* d = session_.disks.Listed(static_cast<size_t>(session_.selectedDisk));
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

QString MainDialog::DestinationOrAsk() {
    if (chooseDestination)
        return chooseDestination();
    return QFileDialog::getExistingDirectory(this, "Select the folder to copy into");
}

void MainDialog::RecoverSelected() {
    if (wizard_.Step() != WizardStep::Browse || Mounted() == nullptr)
        return;
    const std::vector<ExtractItem> items = browse_->SelectedItems();
    if (items.empty())
        return;
    const QString dest = DestinationOrAsk();
    if (!dest.isEmpty())
        CopyOut(this, messages_, session_, items, false, dest, true, &desktop_);
}

void MainDialog::RecoverAll() {
    if (wizard_.Step() != WizardStep::Browse || Mounted() == nullptr)
        return;
    const QString dest = DestinationOrAsk();
    if (!dest.isEmpty())
        CopyOut(this, messages_, session_, {}, true, dest, true, &desktop_);
}

void MainDialog::ShowFindFiles() {
    if (Mounted() == nullptr)
        return;
    FindFilesDialog dialog(Mounted()->tree, *browse_->ListModel(), messages_, this);
    connect(&dialog, &FindFilesDialog::HitActivated, this, [this, &dialog](uint32_t file) {
        // A hit the file filters hide would open its folder with the file nowhere: the
        // filters are named, and cleared if the user wants the file shown.
        const RecoveredTree& tree = Mounted()->tree;
        if (file < tree.Files().size() && !session_.filters.Shows(tree.FileName(file))) {
            QStringList patterns;
            for (const std::string& f : session_.filters.Filters())
                patterns << QString::fromStdString(f);
            const QString name = QString::fromStdString(DisplayName(tree.FileName(file)));
            if (messages_.AskYesNo(&dialog, MessageKind::Question,
                                   name + " is hidden by the filter " + patterns.join(", ") +
                                       ". Clear the filters to show it?")) {
                session_.filters.Clear();
                browse_->ClickFolder(browse_->FolderModel()->RootIndex());
            }
        }
        browse_->RevealFile(file);
        if (!dialog.Searching())
            dialog.accept();
    });
    dialog.exec();
}

void MainDialog::ShowFileFilters() {
    FiltersDialog dialog(session_.filters, messages_, this);
    dialog.exec();
    if (Mounted() != nullptr)
        browse_->ClickFolder(browse_->FolderModel()->RootIndex());
}

void MainDialog::ShowHelpContents() {
    commands_->ShowHelpContents(wizard_.Step());
}

void MainDialog::ExitCommand() {
    close();
}

void MainDialog::closeEvent(QCloseEvent* event) {
    if (!messages_.AskYesNo(this, MessageKind::Question, "Do you really want to exit ?")) {
        event->ignore();
        return;
    }
    job_->Cancel();
    session_.SetMounted(nullptr);
    commands_->OpenProductWebPage(true);
    event->accept();
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_F1) {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QWidget* target = dialog == nullptr       ? nullptr
                          : dialog->focusWidget() ? dialog->focusWidget()
                                                  : dialog;
        if (dialog != nullptr && watched == target) {
            // The page that tells of the dialog; the step's page for the others.
            static const std::pair<const char*, const char*> kPages[] = {
                {"trevik::shell::SettingsDialog", "recovering.html#settings"},
                {"trevik::shell::FiltersDialog", "browse.html#filters"},
                {"trevik::shell::FindFilesDialog", "browse.html#find"},
                {"trevik::shell::MetadeviceDialog", "disk.html#metadevice"},
                {"trevik::shell::ModeDialog", "volume.html"},
                {"trevik::shell::SaveProgressDialog", "recovering.html"},
            };
            QString page = HelpPage(wizard_.Step());
            for (const auto& [cls, p] : kPages) {
                if (dialog->inherits(cls))
                    page = p;
            }
            commands_->ShowHelpPage(page, dialog);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
    // F1 from any control that does not take it (when the shortcut did not already).
    if (event->key() == Qt::Key_F1) {
        ShowHelpContents();
        event->accept();
        return;
    }
    // Enter is Next in the steps before browsing, wherever the focus is (a list, Next
    // itself); Escape never closes the window.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (wizard_.Step() != WizardStep::Browse && next_->isVisible() && next_->isEnabled())
            Next();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    // Backspace goes back a step from the volumes (in browsing it is the list's own).
    if (event->key() == Qt::Key_Backspace && wizard_.Step() == WizardStep::SelectVolume &&
        back_->isVisible() && back_->isEnabled()) {
        Back();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void MainDialog::dragEnterEvent(QDragEnterEvent* event) {
    if (wizard_.Step() != WizardStep::SelectDisk || job_->Running() ||
        !event->mimeData()->hasUrls())
        return;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile())
            return;
    }
    event->acceptProposedAction();
}

void MainDialog::dropEvent(QDropEvent* event) {
    if (wizard_.Step() != WizardStep::SelectDisk || job_->Running())
        return;
    for (const QUrl& url : event->mimeData()->urls()) {
        const QString error = AddDiskImage(url.toLocalFile());
        if (!error.isEmpty())
            messages_.ShowMessage(this, MessageKind::Error, error);
    }
    event->acceptProposedAction();
}

} // namespace trevik::shell
