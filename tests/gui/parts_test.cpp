// The window's parts on their own: the wizard's steps, the job bridge, the models, the
// panel, the colours and the sizes.

#include "shell/background_job.h"
#include "shell/help_texts.h"
#include "shell/percent_progress_bar.h"
#include "shell/save_progress_dialog.h"
#include "shell/status_panel.h"
#include "shell/title_fit.h"
#include "shell/tree_models.h"
#include "shell/wizard_controller.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <thread>

using namespace trevik;
using namespace trevik::shell;

namespace {

using NextAction = WizardController::NextAction;
using BackAction = WizardController::BackAction;

// The buttons shown, as "nbs" letters (next, back, stop) and p for the progress bar.
QString Buttons(const WizardView& v) {
    QString s;
    s += v.next ? "n" : "-";
    s += v.back ? "b" : "-";
    s += v.stop ? "s" : "-";
    s += v.progress ? "p" : "-";
    return s;
}

// Every command that is enabled, in the order of the enum.
QStringList EnabledCommands(const WizardController& w) {
    static const std::pair<Command, const char*> kAll[] = {
        {Command::RecoverSelected, "RecoverSelected"},
        {Command::RecoverAll, "RecoverAll"},
        {Command::Icons, "Icons"},
        {Command::List, "List"},
        {Command::Details, "Details"},
        {Command::FindFiles, "FindFiles"},
        {Command::FileFilters, "FileFilters"},
        {Command::Settings, "Settings"},
        {Command::BadSectorMap, "BadSectorMap"},
        {Command::DriveInformation, "DriveInformation"}};
    QStringList on;
    for (auto [c, name] : kAll) {
        if (w.Enabled(c))
            on << name;
    }
    return on;
}

const QStringList kBrowseCommands = {
    "RecoverSelected", "RecoverAll",  "Icons",    "List",         "Details",
    "FindFiles",       "FileFilters", "Settings", "BadSectorMap", "DriveInformation"};

// A tree with `files` files in one folder, `folders` folders beside them and a nested chain.
RecoveredTree BigTree(uint32_t files, uint32_t folders) {
    RecoveredTree t;
    uint32_t inode = 100;
    for (uint32_t i = 0; i < folders; ++i)
        t.AddFolderNode("dir" + std::to_string(i), inode++, 2, 1);
    t.AddFolderNode("deep", 50, 100, 1); // under dir0
    t.AddFolderNode("deeper", 51, 50, 1);
    for (uint32_t i = 0; i < files; ++i)
        t.AddFileNode("f" + std::to_string(i) + (i % 3 == 0 ? ".tar.gz" : ".txt"), 100000 + i, 2, 1,
                      i, 0x81A4);
    t.AddFileNode("inner.txt", 99, 51, 1, files, 0x81A4);
    t.BuildChildIndex();
    return t;
}

} // namespace

class PartsTest : public QObject {
    Q_OBJECT
private slots:
    void labelPathThroughEveryStepAndBack() {
        WizardController w;
        w.Start();
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QCOMPARE(w.View().pane, LeftPane::Disks);
        QCOMPARE(Buttons(w.View()), QString("----"));
        QCOMPARE(w.View().help, QuickHelp::ChooseDisk);
        QCOMPARE(EnabledCommands(w), (QStringList{"Settings", "BadSectorMap"}));
        // A volume selection is no use on the disk step; a disk's shows Next.
        QVERIFY(!w.SelectVolume());
        QVERIFY(w.SelectDisk());
        QCOMPARE(Buttons(w.View()), QString("n---"));
        QCOMPARE(w.View().panel, PanelLayout::DiskInfo);
        // Next hides Next first; a label without volumes leaves the step as it was.
        QCOMPARE(w.Next(), NextAction::ReadLabel);
        QCOMPARE(Buttons(w.View()), QString("----"));
        w.LabelRead(0);
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QVERIFY(w.SelectDisk());
        QCOMPARE(w.Next(), NextAction::ReadLabel);
        const uint32_t before = w.View().panelRevision;
        w.LabelRead(2);
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QCOMPARE(w.View().pane, LeftPane::Volumes);
        QVERIFY(!w.View().identifyShown);
        QCOMPARE(Buttons(w.View()), QString("-b--"));
        QCOMPARE(w.View().panel, PanelLayout::VolumeInfo);
        QVERIFY(w.View().panelRevision != before);
        QCOMPARE(w.View().help, QuickHelp::ChoosePartition);
        QCOMPARE(EnabledCommands(w), (QStringList{"Settings", "BadSectorMap"}));
        QVERIFY(!w.SelectDisk());
        QVERIFY(w.SelectVolume());
        QCOMPARE(Buttons(w.View()), QString("nb--"));
        // The mount: Back and Next gone, the folder pane greyed, Stop only when offered.
        QCOMPARE(w.Next(), NextAction::ChooseModeAndMount);
        w.MountStarted();
        QVERIFY(w.WorkerRunning());
        QCOMPARE(Buttons(w.View()), QString("---p"));
        QCOMPARE(w.View().pane, LeftPane::Folders);
        QVERIFY(!w.View().paneEnabled);
        QCOMPARE(w.View().panel, PanelLayout::MountProgress);
        QCOMPARE(w.View().help, QuickHelp::Mounting);
        QVERIFY(!w.SelectVolume());           // no selection while it runs
        QCOMPARE(w.Back(), BackAction::None); // nor Back
        QCOMPARE(w.Next(), NextAction::None); // nor Next
        w.StopAvailable(true);
        QCOMPARE(Buttons(w.View()), QString("--sp"));
        w.MountFinished(true);
        QCOMPARE(w.Step(), WizardStep::Browse);
        QCOMPARE(Buttons(w.View()), QString("-b--"));
        QVERIFY(w.View().paneEnabled);
        QVERIFY(w.View().listShown);
        QCOMPARE(w.View().panel, PanelLayout::HideAll);
        QCOMPARE(w.View().help, QuickHelp::Browse);
        QCOMPARE(EnabledCommands(w), kBrowseCommands);
        QVERIFY(w.ContextMenuAllowed(true, true));
        QVERIFY(!w.ContextMenuAllowed(false, true));
        QVERIFY(!w.ContextMenuAllowed(true, false));
        // Back twice: the volume, then the disk.
        QCOMPARE(w.Back(), BackAction::FreeVolume);
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QVERIFY(!w.View().listShown);
        QCOMPARE(w.View().panel, PanelLayout::VolumeInfoWithHelp);
        QCOMPARE(w.View().help, QuickHelp::ChooseVolumeAgain);
        QCOMPARE(EnabledCommands(w), (QStringList{"Settings", "BadSectorMap"}));
        QCOMPARE(w.Back(), BackAction::CloseDisk);
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QVERIFY(w.View().identifyShown);
        QCOMPARE(Buttons(w.View()), QString("----"));
        QCOMPARE(w.View().help, QuickHelp::ChooseDiskAgain);
        QCOMPARE(w.View().menus, MenuState::BackToDisk);
        QCOMPARE(EnabledCommands(w), (QStringList{"Settings", "BadSectorMap"}));
        QCOMPARE(w.Back(), BackAction::None);
    }

    void searchPathRefusalsScanAndAFailedMount() {
        WizardController w;
        w.Start();
        w.SelectDisk();
        w.ChooseOption(VolumeIdentifyOption::SearchPartition);
        QVERIFY(w.View().rangeShown);
        QCOMPARE(w.Next(), NextAction::CheckRangeAndScan);
        w.RangeRefused();
        QCOMPARE(Buttons(w.View()), QString("n---"));
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QCOMPARE(w.Next(), NextAction::CheckRangeAndScan);
        w.ScanStarted();
        QCOMPARE(Buttons(w.View()), QString("--sp"));
        QVERIFY(!w.View().rangeShown);
        QCOMPARE(w.View().panel, PanelLayout::ScanProgress);
        QCOMPARE(w.View().pane, LeftPane::Volumes);
        QVERIFY(!w.View().paneEnabled);
        QCOMPARE(w.View().help, QuickHelp::Scanning);
        QCOMPARE(w.Step(), WizardStep::SelectDisk);              // until the scan ends
        w.ChooseOption(VolumeIdentifyOption::UsePartitionTable); // ignored while it runs
        QCOMPARE(w.Option(), VolumeIdentifyOption::SearchPartition);
        w.ScanFinished();
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QCOMPARE(Buttons(w.View()), QString("-b--"));
        QVERIFY(w.View().paneEnabled);
        QCOMPARE(w.View().panel, PanelLayout::VolumeInfo);
        // A mount that finds no volume goes back to the list as it was.
        w.SelectVolume();
        w.Next();
        w.MountStarted();
        w.MountFinished(false);
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QCOMPARE(w.View().pane, LeftPane::Volumes);
        QCOMPARE(Buttons(w.View()), QString("-b--"));
        QVERIFY(!w.WorkerRunning());
        // Back to the disk step shows the range again, as the option still says Search.
        w.Back();
        QVERIFY(w.View().rangeShown);
        // A disk that cannot be opened: Next comes back to try again.
        w.SelectDisk();
        w.Next();
        w.OpenFailed();
        QCOMPARE(Buttons(w.View()), QString("n---"));
        // Use Partition Table asks for no scan: ScanProgress falls back to the volume rows.
        w.ChooseOption(VolumeIdentifyOption::UsePartitionTable);
        QVERIFY(!w.View().rangeShown);
        w.ScanStarted();
        QCOMPARE(w.View().panel, PanelLayout::VolumeInfo);
    }

    void bridgeKeepsOrderAndCoalescesPerKey() {
        BackgroundJob job;
        QStringList applied;
        std::atomic<bool> release{false};
        QSignalSpy finished(&job, &BackgroundJob::Finished);
        job.Start([&] {
            job.Post([&] { applied << "a"; });
            for (int i = 0; i < 1000; ++i)
                job.PostLatest("p", [&, i] { applied << QString("p%1").arg(i); });
            job.Post([&] { applied << "b"; });
            job.PostLatest("p", [&] { applied << "p-last"; });
            job.PostLatest("q", [&] { applied << "q"; });
            while (!release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        // Held: nothing is applied while a question would be on screen.
        job.Hold(true);
        QTest::qWait(100);
        QVERIFY(applied.isEmpty());
        release = true;
        job.Wait();
        // The kept update of a key takes the place of its last post: p999 was replaced.
        QCOMPARE(applied, (QStringList{"a", "b", "p-last", "q"}));
        QCOMPARE(finished.count(), 1);
        QVERIFY(!job.Running());
        // A job cancelled mid-way: stopped through its flag, its updates dropped, no Finished.
        job.Start([&] {
            job.Post([&] { applied << "late"; });
            while (!job.StopFlag().load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        QTest::qWait(20);
        job.Hold(true);
        job.Cancel();
        QTest::qWait(80);
        QVERIFY(!applied.contains("late"));
        QCOMPARE(finished.count(), 1);
        // Stop flags are cleared by the next start.
        job.Start([] {});
        QVERIFY(!job.StopFlag().load());
        job.Wait();
        QCOMPARE(finished.count(), 2);
    }

    void modelsPassTheModelTesterWithTwentyThousandRows() {
        RecoveredTree tree = BigTree(20000, 50);
        FolderTreeModel folders;
        FileListModel list;
        QAbstractItemModelTester folderTester(
            &folders, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester listTester(&list,
                                            QAbstractItemModelTester::FailureReportingMode::QtTest);
        folders.SetTree(&tree, "Solaris Partition - 1");
        list.SetTree(&tree);
        FilterTable none;
        QCOMPARE(list.Fill(kRootInode, none), 0);
        QCOMPARE(list.rowCount(), 20050);
        // Folders first, in discovery order, then the files in theirs.
        QCOMPARE(list.index(0, 0).data().toString(), QString("dir0"));
        QCOMPARE(list.index(50, 0).data().toString(), QString("f0.tar.gz"));
        QCOMPARE(list.index(20049, 0).data().toString(), QString("f19999.txt"));
        QCOMPARE(list.index(51, 0).data(Qt::ToolTipRole).toString(), QString("f1.txt"));
        // The tree: the root, its folders, and the nested chain found by its parents.
        const QModelIndex root = folders.RootIndex();
        QCOMPARE(folders.rowCount(root), 50);
        const QModelIndex dir0 = folders.index(0, 0, root);
        const QModelIndex deep = folders.index(0, 0, dir0);
        const QModelIndex deeper = folders.index(0, 0, deep);
        QCOMPARE(deeper.data().toString(), QString("deeper"));
        QCOMPARE(deeper.parent().parent(), dir0);
        QCOMPARE(folders.InodeOf(deeper), 51u);
        // Filters: the model counts what they hide.
        FilterTable txt;
        txt.Assign({"*.txt"});
        const int hidden = list.Fill(kRootInode, txt);
        QCOMPARE(hidden, 6667);
        QCOMPARE(list.rowCount(), 20050 - 6667);
        list.Fill(51, none);
        QCOMPARE(list.rowCount(), 1);
        // Renaming a folder through the list tells the tree.
        list.Fill(kRootInode, none);
        list.editingAllowed = true;
        QSignalSpy changed(&folders, &QAbstractItemModel::dataChanged);
        connect(&list, &FileListModel::FolderRenamed, &folders, &FolderTreeModel::FolderRenamed);
        QVERIFY(list.setData(list.index(1, 0), QString("renamed"), Qt::EditRole));
        QCOMPARE(folders.index(1, 0, root).data().toString(), QString("renamed"));
        QCOMPARE(changed.count(), 1);
        folders.SetTree(nullptr, {});
        list.SetTree(nullptr);
        QCOMPARE(folders.rowCount(), 0);
    }

    void colorsReadOnLightAndDarkPalettes() {
        RecoveredTree tree = BigTree(3, 1);
        FileListModel list;
        list.SetTree(&tree);
        list.Fill(kRootInode, FilterTable());
        const QPalette light = QApplication::palette();
        // Plain rows take the palette's own colours: no role is forced.
        QVERIFY(!list.index(0, 0).data(Qt::ForegroundRole).isValid());
        QVERIFY(!list.index(2, 0).data(Qt::BackgroundRole).isValid());
        QCOMPARE(list.index(1, 0).data(Qt::ForegroundRole).value<QBrush>().color(),
                 QColor(255, 0, 0)); // f0.tar.gz: compressed, red
        PercentProgressBar bar;
        QCOMPARE(bar.BarColor(), QColor(0, 0, 144));
        QCOMPARE(bar.TextOverBar(), light.color(QPalette::Base));
        QPalette dark;
        dark.setColor(QPalette::Base, QColor(30, 30, 30));
        dark.setColor(QPalette::Window, QColor(45, 45, 45));
        dark.setColor(QPalette::Text, QColor(230, 230, 230));
        dark.setColor(QPalette::Highlight, QColor(60, 110, 200));
        dark.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
        QApplication::setPalette(dark);
        bar.setPalette(dark);
        const QColor red = list.index(1, 0).data(Qt::ForegroundRole).value<QBrush>().color();
        QVERIFY2(red.lightness() > 150, "the red of compressed files reads on a dark base");
        QCOMPARE(bar.BarColor(), QColor(60, 110, 200));
        QCOMPARE(bar.TextOverRest(), QColor(230, 230, 230));
        QApplication::setPalette(light);
    }

    void rowsSayWhatTheyAreByRolesNotByTheirTexts() {
        RecoveredTree tree;
        tree.AddFolderNode("old.tar.gz", 10, kRootInode, 1000); // a folder, whatever its name
        tree.AddFileNode("notes.txt", 11, kRootInode, 2000, 5, 0100644);
        tree.AddFileNode("backup.tar.gz", 12, kRootInode, 3000, 9, 0100644);
        tree.AddFileNode("broken", 13, kRootInode, 4000, 0, 0100644, true);
        tree.BuildChildIndex();
        const std::vector<UnreadableEntry> lost{{kRootInode, 14, 777, "gone"}};
        FileListModel list;
        list.SetTree(&tree, &lost);
        list.Fill(kRootInode, FilterTable());
        QCOMPARE(list.rowCount(), 5);
        auto role = [&](int row, int r) { return list.index(row, 0).data(r); };
        QCOMPARE(role(0, Qt::DisplayRole).toString(), QString("old.tar.gz"));
        QVERIFY(role(0, IsFolderRole).toBool());
        QVERIFY(!role(0, IsCompressedRole).toBool());
        QVERIFY(!list.index(0, 0).data(Qt::ForegroundRole).isValid()); // not drawn red
        QCOMPARE(role(0, NodeIndexRole).toUInt(), 0u);
        QCOMPARE(role(0, ModifiedTimeRole).toInt(), 1000);
        QVERIFY(!role(1, IsFolderRole).toBool());
        QVERIFY(!role(1, IsCompressedRole).toBool() && !role(1, IsDamagedRole).toBool());
        QCOMPARE(role(1, ModifiedTimeRole).toInt(), 2000);
        QVERIFY(role(2, IsCompressedRole).toBool());
        QCOMPARE(role(2, NodeIndexRole).toUInt(), 1u);
        QVERIFY(role(3, IsDamagedRole).toBool());
        int lostRow = -1;
        for (int r = 0; r < list.rowCount(); ++r) {
            if (role(r, IsLostRole).toBool())
                lostRow = r;
        }
        QVERIFY(lostRow >= 0);
        QVERIFY(!role(lostRow, IsDamagedRole).toBool());
        QVERIFY(!role(lostRow, ModifiedTimeRole).isValid()); // its inode was never read
    }

    void statusPanelLayoutsAndSetters() {
        StatusPanel p;
        QCOMPARE(p.Label(4), QString("Sectors Per Track "));
        p.SetDisk("Model X", "65 MB ( Approx )", 130, 16, 64);
        QCOMPARE(p.Value(1), QString("65 MB ( Approx )"));
        p.ShowLayout(PanelLayout::ScanProgress, 133120);
        QCOMPARE(p.Label(0), QString("Partition(s) Found  "));
        QCOMPARE(p.Value(0), QString("0"));
        QCOMPARE(p.Value(2), QString("133120"));
        QVERIFY(!p.RowShown(3));
        QVERIFY(p.StatusLineShown());
        QCOMPARE(p.StatusLine(),
                 QString("Searching for Pools. This may take long time. Pleae wait"));
        p.ShowLayout(PanelLayout::MountProgress);
        p.SetFoldersFound(7);
        p.SetFilesFound(9);
        p.SetLastName("x.txt");
        QCOMPARE(p.Value(0), QString("7"));
        QCOMPARE(p.Value(3), QString("x.txt"));
        QCOMPARE(p.StatusLine(), QString("Mounting volume, please wait..."));
        p.ShowLayout(PanelLayout::HideAll);
        for (int r = 0; r < StatusPanel::kRows; ++r)
            QVERIFY(!p.RowShown(r));
        QVERIFY(!p.StatusLineShown());
        p.SetStatusLine("Filter: *.txt, 2 hidden");
        QVERIFY(p.StatusLineShown());
    }

    void firstSizeFitsTheScreen() {
        // Scale 1.5 on a 1280 x 900 screen leaves about 853 x 570 logical pixels.
        const QSize s = FirstSize({980, 680}, {853, 570});
        QVERIFY(s.width() <= 853 && s.height() <= 570 - 40);
        QCOMPARE(FirstSize({980, 680}, {1920, 1040}), QSize(980, 680));
        QVERIFY(FirstSize({980, 680}, {100, 100}).height() >= 240); // still usable
    }

    // Dialogs are widened as they are shown to fit their whole title (the program's name
    // after it); one already wide enough is left as it is.
    void dialogsAreWideEnoughForTheirTitles() {
        std::unique_ptr<QObject> fitter(FitDialogTitles(*qApp));
        QApplication::setApplicationDisplayName("Trevik for Solaris (SPARC)");
        QDialog dialog;
        dialog.setWindowTitle("About Trevik Recovery (Solaris)");
        dialog.resize(120, 80);
        dialog.show();
        QTest::qWait(20);
        QVERIFY(dialog.width() >= TitleWidth(&dialog));
        QDialog wide;
        wide.setWindowTitle("x");
        wide.resize(900, 80);
        wide.show();
        QTest::qWait(20);
        QCOMPARE(wide.width(), 900);
        QApplication::setApplicationDisplayName(QString());
    }

    void savingDialogKeepsItsWidthAndElidesTheMiddleOfLongPaths() {
        SaveProgressDialog dialog;
        dialog.show();
        const int width = dialog.width();
        ExtractionProgress p;
        p.path = std::string(400, 'a') + "/deep/" + std::string(300, 'z');
        p.name = "final-name.bin";
        p.filesDone = 1;
        p.filesTotal = 2;
        p.bytesDone = 3 << 20;
        p.bytesTotal = 12 << 20;
        dialog.ShowProgress(p);
        // The bytes read of those to read, and the bar by bytes, not by files.
        QCOMPARE(dialog.bytes->text(), QString("3.0 MB of 12.0 MB"));
        QCOMPARE(dialog.progress->value(), 25);
        QApplication::processEvents();
        QCOMPARE(dialog.width(), width);
        QCOMPARE(width, SaveProgressDialog::kWidth);
        QVERIFY(dialog.path->text().contains(QChar(0x2026))); // the ellipsis
        QVERIFY(dialog.path->text().startsWith("/aaa"));
        QVERIFY(dialog.path->text().endsWith("zzz"));
        QCOMPARE(dialog.path->toolTip(), QString::fromStdString("/" + p.path));
        QVERIFY(dialog.skipFile->geometry().right() <= dialog.width());
    }
};

QTEST_MAIN(PartsTest)
#include "parts_test.moc"
