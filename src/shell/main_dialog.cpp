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

namespace {} // namespace

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
    diskList_->Fill();
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
    diskList_ = new DiskList(*diskTree_, session_.disks, messages_, this);
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
    connect(addImage_, &QPushButton::clicked, diskList_, &DiskList::AskForImage);
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

QString MainDialog::AddMetadevice(const LayoutSpec& layout) {
    return diskList_->AddMetadevice(layout);
}

void MainDialog::OpenMetadeviceDialog() {
    diskList_->AskForMetadevice(pickComponentFiles);
}

QString MainDialog::AddDiskImage(const QString& path) {
    return diskList_->AddImage(path);
}

void MainDialog::OfferMetadevices() {
    diskList_->OfferMetadevices();
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
    session_.selectedDisk = static_cast<size_t>(k);
    options_->SetDefaultRange(DefaultScanEnd(d->totalSectors));
    ApplyView();
    panel_->SetDisk(QString::fromStdString(d->model),
                    QString::fromStdString(CapacityText(d->totalSectors)), d->cylinders, d->heads,
                    d->sectorsPerTrack);
}

void MainDialog::VolumeChosen(int i) {
    if (i < 0 || static_cast<size_t>(i) >= session_.volumes.Count() || !wizard_.SelectVolume())
        return;
    session_.selectedVolume = static_cast<size_t>(i);
    const PartitionEntry& e = session_.volumes[static_cast<size_t>(i)];
    browse_->ClearList();
    ApplyView();
    panel_->SetVolume(VolumeTypeText(e), QString::fromStdString(e.name), e.startSector,
                      QString::number(e.sizeSectors / 2048) + " MB ( Approx )");
}

void MainDialog::ChooseSearchPartition() {
    wizard_.ChooseOption(VolumeIdentifyOption::SearchPartition);
    const DiskEntry* d = session_.disks.Listed(session_.selectedDisk.value_or(0));
    options_->SetDefaultRange(d != nullptr ? DefaultScanEnd(d->totalSectors) : 0);
    ApplyView();
}

void MainDialog::ChooseUsePartitionTable() {
    wizard_.ChooseOption(VolumeIdentifyOption::UsePartitionTable);
    ApplyView();
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
            commands_->ShowHelpPage(DialogHelpPage(*dialog, wizard_.Step()), dialog);
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
