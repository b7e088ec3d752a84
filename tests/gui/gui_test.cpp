// The window as a person walks it, headless: wizard, panes, menus, dialogs and workers.

#include "disk_image.h"
#include "log_builder.h"
#include "recovery/drive_information.h"
#include "shell/dialogs.h"
#include "shell/find_files_dialog.h"
#include "shell/main_dialog.h"
#include "shell/save_progress_dialog.h"
#include "svm_builder.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QXmlStreamReader>
#include <deque>
#include <unistd.h>

using namespace trevik;
using namespace trevik::shell;
using namespace trevik::imagebuilder;

namespace {

// Answers questions from a script and records every message.
class Recorder final : public MessageService {
public:
    struct Shown {
        MessageKind kind;
        QString text;
    };
    void ShowMessage(QWidget*, MessageKind kind, const QString& text) override {
        shown.push_back({kind, text});
    }
    void ShowReport(QWidget*, const QString& summary, const QStringList& details,
                    const ReportActions& actions) override {
        reports.push_back({summary, details});
        lastSaveReport = actions.save;
        lastActions = actions;
    }
    bool AskYesNo(QWidget*, MessageKind kind, const QString& text) override {
        shown.push_back({kind, text});
        if (onAsk)
            onAsk();
        if (answers.empty())
            return false;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<Shown> shown;
    std::vector<std::pair<QString, QStringList>> reports;
    std::deque<bool> answers;
    std::function<void()> onAsk; // sees the window as the question is asked
    SaveReport lastSaveReport;   // the "Save Report..." of the last report, if it had one
    ReportActions lastActions;
};

class NoDesktop final : public DesktopService {
public:
    bool OpenUrl(const QUrl& url) override {
        opened << url;
        return hasBrowser;
    }
    bool hasBrowser = true;
    bool OpenFile(const QString& file) override {
        if (!hasHandler)
            return false;
        openedFiles << file;
        return true;
    }
    void OpenWith(const QString& program, const QString& file) override {
        openedWith << program + " " + file;
    }
    QList<QUrl> opened;
    QStringList openedFiles;
    QStringList openedWith;
    bool hasHandler = true;
};

TreeNode Tree() {
    return Dir("",
               {Dir("etc", {File("passwd", "root:x:0:0::/:/sbin/sh\n"), File("notes.txt", "n\n")}),
                Dir("export", {Dir("home", {Dir("alice", {File("report.txt", "quarterly\n"),
                                                          File("archive.tar.gz", "gz")})})}),
                File("readme.txt", "hello\n"), File("big.bin", std::string(600000, 'b'))});
}

// A labelled disk: slice 0 at cylinder 0 holds Tree(); slice 7 an Extensive case whose
// folder entry was removed.
QString MakeDisk(const QTemporaryDir& dir, bool label = true) {
    UfsParams p;
    p.sizeSectors = 16 * 1024 * 4;
    p.cylindersPerGroup = 8;
    UfsVolume a = BuildUfs(Tree(), p);
    UfsVolume b = BuildUfs(Tree(), p);
    b.RemoveDirEntry("/export", "home");
    LabelSpec spec;
    spec.heads = 16;
    spec.sectorsPerTrack = 64;
    spec.cylinders = 130;
    spec.slices = {
        {0, 2, 0, 0, p.sizeSectors}, {2, 5, 0, 0, 130 * 1024}, {7, 8, 0, 64, p.sizeSectors}};
    DiskImage disk(130 * 1024);
    disk.PutVolume(0, a);
    disk.PutVolume(64 * 1024, b);
    if (label)
        disk.PutLabel(spec);
    const QString path = dir.filePath(label ? "disk.img" : "nolabel.img");
    disk.WriteTo(path.toStdString());
    return path;
}

// A labelled 4 MiB disk whose one slice holds `tree`.
QString SmallDisk(const QTemporaryDir& dir, const TreeNode& tree, const QString& name) {
    UfsParams p;
    p.sizeSectors = 8192;
    const UfsVolume v = BuildUfs(tree, p);
    LabelSpec spec;
    spec.cylinders = 9;
    spec.slices = {{0, 2, 0, 0, p.sizeSectors}};
    DiskImage disk(9 * 1024);
    disk.PutVolume(0, v);
    disk.PutLabel(spec);
    const QString image = dir.filePath(name);
    disk.WriteTo(image.toStdString());
    return image;
}

// A labelled disk whose one slice is a logging volume that crashed right after writing
// /new.txt: the file is only in its log.
QString CrashedDisk(const QTemporaryDir& dir) {
    UfsParams p;
    p.sizeSectors = 8192;
    const TreeNode before = Dir("", {File("old.txt", "old\n")});
    TreeNode after = before;
    after.children.push_back(File("new.txt", "new\n"));
    UfsVolume v = BuildUfs(after, p);
    const CrashImages crash = MakeCrash(BuildUfs(before, p), v);
    LogSpec spec;
    spec.logSectors = 256;
    spec.transactions = {{DeltasBetween(crash.stale, crash.rolled, crash.layout), true}};
    v.bytes = crash.stale;
    WriteLog(v.bytes, crash, spec);
    LabelSpec label;
    label.cylinders = 9;
    label.slices = {{0, 2, 0, 0, p.sizeSectors}};
    DiskImage disk(9 * 1024);
    disk.PutVolume(0, v);
    disk.PutLabel(label);
    const QString image = dir.filePath("crashed.img");
    disk.WriteTo(image.toStdString());
    return image;
}

bool WaitIdle(MainDialog& w, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while ((w.WorkerRunning() || t.elapsed() < 50) && t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    QApplication::processEvents();
    return !w.WorkerRunning();
}

int DiskRow(MainDialog& w) {
    return w.DiskTree()->topLevelItem(0)->childCount() - 1;
}

// Up to browsing volume `volume` (0-based) in `mode`.
void Browse(MainDialog& w, int volume = 0, RecoveryMode mode = RecoveryMode::Normal) {
    w.chooseMode = [mode] { return std::optional<RecoveryMode>(mode); };
    w.SelectDisk(DiskRow(w));
    w.Next();
    QCOMPARE(w.Step(), WizardStep::SelectVolume);
    w.SelectVolume(volume);
    w.Next();
    QVERIFY(WaitIdle(w));
    QCOMPARE(w.Step(), WizardStep::Browse);
}

int RowNamed(MainDialog& w, const QString& name) {
    for (int r = 0; r < w.Browser().ListModel()->rowCount(); ++r) {
        if (w.Browser().ListModel()->index(r, 0).data().toString() == name)
            return r;
    }
    return -1;
}

QStringList Names(MainDialog& w) {
    QStringList n;
    for (int r = 0; r < w.Browser().ListModel()->rowCount(); ++r)
        n << w.Browser().ListModel()->index(r, 0).data().toString();
    return n;
}

} // namespace

class GuiTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString disk_;
    QString noLabel_;

private slots:
    void initTestCase() {
        qputenv("TREVIK_HOME_PAGE", "https://example.invalid/");
        disk_ = MakeDisk(dir_);
        noLabel_ = MakeDisk(dir_, false);
    }

    // A RAID-5 metadevice put together in Open Metadevice, one column lost: listed as a
    // disk of its own, its one volume browsed and copied, and the rebuilding said.
    void aMetadeviceIsPutTogetherFromItsComponentsAndBrowsed() {
        QTemporaryDir tmp;
        UfsParams p;
        p.sizeSectors = 16000;
        p.cylindersPerGroup = 4;
        const TreeNode tree =
            Dir("", {File("a.txt", "alpha\n"), GeneratedFile("big.bin", 300000, 4)});
        const UfsVolume v = BuildUfs(tree, p);
        const auto parts = SplitIntoComponents(v.bytes, {SvmKind::Raid5, 3, 32, 0});
        QStringList files;
        for (size_t i = 0; i < parts.size(); ++i) {
            files << tmp.filePath(QString("col%1.img").arg(i));
            WriteFile(files.back().toStdString(), parts[i]);
        }
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {}, nullptr, false);
        {
            // The dialog: components in order, one missing; a bad interlace keeps it open.
            MetadeviceDialog dialog(m, [&] { return QStringList{files[0], files[2]}; });
            dialog.kind->setCurrentIndex(2);
            for (QPushButton* b : dialog.findChildren<QPushButton*>()) {
                if (b->text() == "&Add Images...")
                    b->click();
            }
            QCOMPARE(dialog.components->count(), 2);
            dialog.components->insertItem(1, "missing");
            dialog.interlace->setText("16q");
            dialog.accept();
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QVERIFY(m.shown.back().text.contains("interlace"));
            dialog.interlace->setText("16k");
            const auto spec = dialog.Spec();
            QVERIFY(spec.ok());
            QCOMPARE(spec->components.size(), size_t{3});
            QCOMPARE(spec->components[1], std::string("missing"));
            QCOMPARE(spec->interlaceSectors, uint64_t{32});
            QVERIFY(w.AddMetadevice(*spec).isEmpty());
        }
        const QString item = w.DiskTree()->topLevelItem(0)->child(DiskRow(w))->text(0);
        QVERIFY2(item.startsWith("SVM RAID-5 of 3, "), qPrintable(item));
        Browse(w);
        QVERIFY(RowNamed(w, "big.bin") >= 0);
        QVERIFY(!m.reports.empty());
        QVERIFY2(m.reports.back().second.join("\n").contains("RAID-5 column 2 is missing"),
                 qPrintable(m.reports.back().second.join("\n")));
        w.chooseDestination = [&] { return tmp.filePath("out"); };
        w.RecoverAll();
        QFile f(tmp.filePath("out/big.bin"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        std::string want(300000, '\0');
        ExpectedContent(tree.children[1], 0,
                        {reinterpret_cast<uint8_t*>(want.data()), want.size()});
        QVERIFY(f.readAll().toStdString() == want);
    }

    // Images whose state database replicas record a stripe: the window lists the
    // metadevice by its name as soon as its images are all listed, and browses it.
    void aMetadeviceTheStateDatabaseRecordsIsOfferedByName() {
        QTemporaryDir tmp;
        UfsParams p;
        p.sizeSectors = 16000;
        p.cylindersPerGroup = 4;
        const TreeNode tree =
            Dir("", {File("a.txt", "alpha\n"), GeneratedFile("big.bin", 300000, 6)});
        const UfsVolume v = BuildUfs(tree, p);
        constexpr uint32_t kStart = 16 + 1024;
        auto parts = SplitIntoComponents(v.bytes, {SvmKind::Stripe, 3, 16, kStart});
        const auto rowBlocks = static_cast<uint32_t>(3 * (parts[0].size() / 512 - kStart));
        ReplicaSpec spec;
        spec.units.push_back({SvmKind::Stripe,
                              10,
                              rowBlocks,
                              16,
                              {{{"c1t1d0s0", kStart, 1, {}},
                                {"c1t2d0s0", kStart, 1, {}},
                                {"c1t3d0s0", kStart, 1, {}}}},
                              {rowBlocks},
                              {},
                              0xffffffff});
        const auto replica = ReplicaBytes(spec);
        QStringList files;
        for (size_t i = 0; i < parts.size(); ++i) {
            std::copy(replica.begin(), replica.end(), parts[i].begin() + 16 * 512);
            files << tmp.filePath(QString("c1t%1d0.img").arg(i + 1));
            WriteFile(files.back().toStdString(), parts[i]);
        }
        Recorder m;
        NoDesktop d;
        // Two of the three given: the stripe cannot be put together yet, so it is not listed.
        MainDialog w(m, d, {files[2], files[0]}, nullptr, false);
        QCOMPARE(w.DiskTree()->topLevelItem(0)->childCount(), 2);
        // The third added: the metadevice appears, named as its state database names it.
        QVERIFY(w.AddDiskImage(files[1]).isEmpty());
        QCOMPARE(w.DiskTree()->topLevelItem(0)->childCount(), 4);
        const QString item = w.DiskTree()->topLevelItem(0)->child(DiskRow(w))->text(0);
        QVERIFY2(item.startsWith("SVM d10: stripe of 3, "), qPrintable(item));
        Browse(w);
        QVERIFY(RowNamed(w, "big.bin") >= 0);
        // The title names the metadevice browsed, not one of its images.
        QVERIFY2(w.windowTitle().startsWith("d10 - Solaris Partition - 1 - "),
                 qPrintable(w.windowTitle()));
        w.chooseDestination = [&] { return tmp.filePath("out"); };
        w.RecoverAll();
        QFile f(tmp.filePath("out/big.bin"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        std::string want(300000, '\0');
        ExpectedContent(tree.children[1], 0,
                        {reinterpret_cast<uint8_t*>(want.data()), want.size()});
        QVERIFY(f.readAll().toStdString() == want);
    }

    void copiesWriteNamesAsShownUnlessSettingsSayRawAndSameNamesBothArrive() {
        QTemporaryDir tmp;
        const QString image = SmallDisk(
            tmp, Dir("", {File("caf\xE9.txt", "latin"), File("dup", "one"), File("dup", "two")}),
            "names.img");
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {image});
        Browse(w);
        w.chooseDestination = [&] { return tmp.filePath("shown"); };
        w.RecoverAll();
        QCOMPARE(QDir(tmp.filePath("shown")).entryList(QDir::Files, QDir::Name),
                 (QStringList{"café.txt", "dup", "dup (1)"}));
        QVERIFY(m.reports.back().second.contains("Renamed: /dup -> dup (1)"));
        // The Settings check box: OK stores it, Cancel leaves it.
        {
            SettingsDialog dialog(w.SessionState().settings);
            QVERIFY(!dialog.rawNames->isChecked());
            dialog.rawNames->setChecked(true);
            dialog.reject();
        }
        QVERIFY(!w.SessionState().settings.rawNames);
        {
            SettingsDialog dialog(w.SessionState().settings);
            dialog.rawNames->setChecked(true);
            dialog.accept();
        }
        QVERIFY(w.SessionState().settings.rawNames);
        w.chooseDestination = [&] { return tmp.filePath("raw"); };
        w.RecoverAll();
        const std::string raw = tmp.filePath("raw").toStdString() + "/caf\xE9.txt";
        QVERIFY(::access(raw.c_str(), F_OK) == 0);
        // Qt cannot name a file whose name is not UTF-8, so it could not remove it with the
        // folder: the test does.
        QVERIFY(::unlink(raw.c_str()) == 0);
    }

    void startsOnTheDiskStepWithTheMenusOfAStart() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QCOMPARE(w.DiskTree()->topLevelItem(0)->text(0), QString("My Computer"));
        QCOMPARE(w.DiskTree()->topLevelItem(0)->child(DiskRow(w))->text(0),
                 QString("Storage Device%1").arg(DiskRow(w)));
        QVERIFY(w.NextButton()->isHidden());
        QVERIFY(w.MenuAction(Command::Settings)->isEnabled());
        for (QAction* a :
             {w.MenuAction(Command::RecoverSelected), w.MenuAction(Command::RecoverAll),
              w.MenuAction(Command::Icons), w.MenuAction(Command::List),
              w.MenuAction(Command::Details), w.MenuAction(Command::FindFiles),
              w.MenuAction(Command::FileFilters), w.MenuAction(Command::DriveInformation)}) {
            QVERIFY2(!a->isEnabled(), qPrintable(a->text()));
        }
        QVERIFY(w.QuickHelpText().startsWith("1. Select the disk to recover from left pane."));
        QVERIFY(w.Options().UsePartitionTable()->isChecked());
        // A disk click fills the panel and shows Next.
        w.SelectDisk(DiskRow(w));
        QVERIFY(!w.NextButton()->isHidden());
        QCOMPARE(w.Panel().Label(1), QString("Capacity              "));
        QCOMPARE(w.Panel().Value(1), QString("65 MB ( Approx )"));
        // The window can be as small as a 1280 x 900 screen at scale 1.5 leaves.
        QVERIFY2(w.minimumSizeHint().height() <= 520,
                 qPrintable(QString::number(w.minimumSizeHint().height())));
        QVERIFY(w.minimumSizeHint().width() <= 820);
        // The item says which file it is, and how big.
        const QString tip = w.DiskTree()->topLevelItem(0)->child(DiskRow(w))->toolTip(0);
        QVERIFY(tip.contains(disk_));
        QVERIFY(tip.contains("65 MB ( Approx )"));
    }

    void usePartitionTableListsVolumesAndBackClosesTheDisk() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_, noLabel_});
        // The image without a label: the Information message, the step stays.
        w.SelectDisk(DiskRow(w));
        w.Next();
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QCOMPARE(m.shown.back().kind, MessageKind::Information);
        QCOMPARE(
            m.shown.back().text,
            QString(
                "No Solaris Partition Found  !! \r\nSelect Search Partition and than Click Next."));
        w.Back();                     // nothing to go back to
        w.SelectDisk(DiskRow(w) - 1); // another disk: Next reads it, not the one opened before
        w.Next();
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QCOMPARE(w.VolumeTree()->topLevelItem(0)->text(0), QString("Partitions"));
        QCOMPARE(w.VolumeTree()->topLevelItem(0)->childCount(), 2); // root slice listed, backup not
        QVERIFY(w.SessionState().DiskOpen());
        QVERIFY(w.MenuAction(Command::Settings)->isEnabled());
        QVERIFY(!w.MenuAction(Command::RecoverAll)->isEnabled());
        w.SelectVolume(1);
        QCOMPARE(w.Panel().Value(0), QString("UFS"));
        QCOMPARE(w.Panel().Value(1), QString("Solaris Partition - 2"));
        QVERIFY(!w.NextButton()->isHidden());
        w.Back();
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QVERIFY(!w.SessionState().DiskOpen());
        QVERIFY(w.QuickHelpText().startsWith("1. Select the disk to scan from left pane."));
    }

    void searchPartitionChecksTheRangeThenScans() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {noLabel_});
        w.SelectDisk(DiskRow(w));
        w.Options().SearchPartition()->click();
        QCOMPARE(w.Options().StartSector()->text(), QString("0"));
        QCOMPARE(w.Options().EndSector()->text(), QString::number(130 * 1024));
        struct Case {
            QString start, end, message;
        };
        const Case cases[] = {
            {"", "100", "      Start sector value is not valid, It should be a positive number"},
            {"0", "", "      End sector value is not valid, It should be a positive number"},
            {"0", "0", "      End sector should be bigger than start sector"},
            // Sector numbers are 64-bit: a multi-terabyte disk's are past 2^32.
            {"99999999999", "5", "      End sector should be bigger than start sector"},
            {"99999999999999999999999", "5",
             "      Start sector value is not valid, It should be a positive number"},
        };
        for (const Case& c : cases) {
            w.Options().StartSector()->setText(c.start);
            w.Options().EndSector()->setText(c.end);
            w.Next();
            QCOMPARE(m.shown.back().kind, MessageKind::Error);
            QCOMPARE(m.shown.back().text, c.message);
            QVERIFY(!w.NextButton()->isHidden());
            QCOMPARE(w.Step(), WizardStep::SelectDisk);
        }
        w.Options().StartSector()->setText("0");
        w.Options().EndSector()->setText(QString::number(130 * 1024));
        w.Next();
        QVERIFY(WaitIdle(w));
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QCOMPARE(w.VolumeTree()->topLevelItem(0)->childCount(), 2);
        QCOMPARE(w.SessionState().volumes[1].startSector, 64u * 1024u);
        QVERIFY(w.Progress()->isHidden());
        QVERIFY(w.StopButton()->isHidden());
    }

    void stopAnsweredNoGoesOnAndYesEndsTheScan() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {noLabel_});
        w.SelectDisk(DiskRow(w));
        w.Options().SearchPartition()->click();
        w.Options().EndSector()->setText("4294967295"); // far past the disk: a long scan
        w.Next();
        QVERIFY(w.WorkerRunning());
        QVERIFY(!w.StopButton()->isHidden());
        m.answers = {false};
        w.Stop();
        QCOMPARE(m.shown.back().text, QString("Do you want to stop the current process ?"));
        QVERIFY(w.WorkerRunning()); // No: the scan goes on
        m.answers = {true};
        w.Stop();
        QVERIFY(WaitIdle(w));
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
    }

    // The wizard by keyboard alone: Enter is Next, Backspace goes back from the volumes,
    // the list of each step has the focus, and an item still highlighted after Back keeps
    // its details and Next.
    void theWizardIsDrivenByTheKeyboard() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {noLabel_, disk_}, nullptr, false);
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(w.NextButton()->text(), QString("&Next >"));
        // The disk without a label: Enter reads it, says so, and Next stays.
        w.SelectDisk(0);
        w.DiskTree()->setFocus();
        QTest::keyClick(w.DiskTree(), Qt::Key_Return);
        QCOMPARE(m.shown.back().kind, MessageKind::Information);
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QVERIFY(!w.NextButton()->isHidden());
        w.Options().SearchPartition()->click();
        QVERIFY(!w.NextButton()->isHidden());
        w.Options().UsePartitionTable()->click();
        // The labelled disk: Enter on the tree goes on, and the volume list has the focus.
        w.SelectDisk(1);
        QTest::keyClick(w.DiskTree(), Qt::Key_Return);
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.VolumeTree()));
        w.SelectVolume(1);
        // Back by Backspace: the disk still highlighted is the chosen one.
        QTest::keyClick(w.VolumeTree(), Qt::Key_Backspace);
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.DiskTree()));
        QVERIFY(!w.NextButton()->isHidden());
        QVERIFY(!w.Panel().Value(1).isEmpty()); // its capacity is shown again
        // Enter on a focused Next presses it.
        w.NextButton()->setFocus();
        QTest::keyClick(w.NextButton(), Qt::Key_Return);
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
    }

    // The process ends while "Do you want to stop" is open: the late Yes stops nothing, the
    // panel does not say "Stopping...", and the result is whole.
    void aStopQuestionOutlivedByItsProcessStopsNothing() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {noLabel_});
        w.SelectDisk(DiskRow(w));
        w.Options().SearchPartition()->click();
        w.Next();
        QVERIFY(w.WorkerRunning());
        m.onAsk = [&] { QVERIFY(WaitIdle(w)); };
        m.answers = {true};
        w.Stop();
        m.onAsk = nullptr;
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QVERIFY(w.Panel().StatusLine() != "Stopping...");
        QCOMPARE(w.VolumeTree()->topLevelItem(0)->childCount(), 2);
    }

    void normalMountBrowsesOpensFoldersAndShowsDriveInformation() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        Browse(w);
        QCOMPARE(w.Browser().FolderModel()->RootIndex().data().toString(),
                 QString("Solaris Partition - 1"));
        QCOMPARE(Names(w), (QStringList{"etc", "export", "readme.txt", "big.bin"}));
        QCOMPARE(w.Browser().ListModel()->index(0, 1).data().toString(), QString("Folder"));
        QCOMPARE(w.Browser().ListModel()->index(3, 2).data().toString(), QString("600000"));
        for (QAction* a :
             {w.MenuAction(Command::RecoverSelected), w.MenuAction(Command::RecoverAll),
              w.MenuAction(Command::FindFiles), w.MenuAction(Command::FileFilters),
              w.MenuAction(Command::DriveInformation)}) {
            QVERIFY(a->isEnabled());
        }
        QVERIFY(w.QuickHelpText().startsWith("Please select the file(s)"));
        // The title names the image and the volume browsed.
        QCOMPARE(w.windowTitle(), QFileInfo(disk_).fileName() +
                                      " - Solaris Partition - 1 - Trevik for Solaris (SPARC)");
        // A double click on a folder row opens it and selects its tree item.
        w.Browser().DetailsView()->selectRow(RowNamed(w, "export"));
        w.Browser().OpenSelectedItem();
        QCOMPARE(Names(w), QStringList{"home"});
        QCOMPARE(w.Browser().FolderTree()->currentIndex().data().toString(), QString("export"));
        QVERIFY(!w.Browser().ListUsedLast());
        // A click on the tree's root lists the root again.
        w.Browser().ClickFolder(w.Browser().FolderModel()->RootIndex());
        QCOMPARE(w.Browser().ListModel()->rowCount(), 4);
        // The archive's type is drawn red.
        w.Browser().DetailsView()->selectRow(RowNamed(w, "export"));
        w.Browser().OpenSelectedItem();
        w.Browser().DetailsView()->selectRow(0);
        w.Browser().OpenSelectedItem();
        w.Browser().DetailsView()->selectRow(0);
        w.Browser().OpenSelectedItem();
        const int gz = RowNamed(w, "archive.tar.gz");
        QVERIFY(gz >= 0);
        QVERIFY(w.Browser().ListModel()->index(gz, 1).data().toString().startsWith("Compressed "));
        QCOMPARE(
            w.Browser().ListModel()->index(gz, 0).data(Qt::ForegroundRole).value<QBrush>().color(),
            QColor(255, 0, 0));
        const DriveInformation info = MakeDriveInformation(*w.Mounted());
        QCOMPARE(info.totalFiles, 6u);
        QCOMPARE(info.totalFolders, 4u);
        QCOMPARE(QString::fromStdString(info.recoveryType), QString("Normal"));
        // Back frees the tree; Next mounts again from scratch.
        w.Back();
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QVERIFY(w.Mounted() == nullptr);
        QVERIFY(
            w.QuickHelpText().startsWith("1. Select the volume to recover from left pane or use"));
    }

    void cancellingTheModeDialogStaysOnTheVolumeStep() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        w.SelectDisk(DiskRow(w));
        w.Next();
        w.SelectVolume(0);
        w.chooseMode = [] { return std::optional<RecoveryMode>(); };
        w.Next();
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QVERIFY(w.NextButton()->isHidden());
        QVERIFY(!w.WorkerRunning());
    }

    void extensiveMountShowsFoldersWhoseEntryWasRemoved() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        Browse(w, 1, RecoveryMode::Extensive);
        // Every folder found has its place: the folder of found items is empty, so it is
        // neither listed, nor in the tree, nor made by Recover All.
        QVERIFY(w.Mounted()->tree.FindFolder(kLostDirInode) >= 0);
        QVERIFY(!Names(w).contains("LostDir"));
        const QModelIndex root = w.Browser().FolderModel()->RootIndex();
        for (int r = 0; r < w.Browser().FolderModel()->rowCount(root); ++r)
            QVERIFY(w.Browser().FolderModel()->index(r, 0, root).data() != QString("LostDir"));
        QTemporaryDir out;
        w.chooseDestination = [&] { return out.filePath("all"); };
        w.RecoverAll();
        QVERIFY(QFileInfo(out.filePath("all/export")).isDir());
        QVERIFY(!QFileInfo::exists(out.filePath("all/LostDir")));
        w.Browser().DetailsView()->selectRow(RowNamed(w, "export"));
        w.Browser().OpenSelectedItem();
        QCOMPARE(w.Browser().ListModel()->rowCount(), 1);
        QVERIFY(w.Browser().ListModel()->index(0, 0).data().toString().startsWith("Dir"));
        QCOMPARE(QString::fromStdString(MakeDriveInformation(*w.Mounted()).recoveryType),
                 QString("Extensive"));
    }

    void contextMenuAndMenusFollowTheStep() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        w.SelectDisk(DiskRow(w));
        w.Next();
        QVERIFY(!w.Browser().ContextMenuAllowed());
        w.SelectVolume(0);
        w.chooseMode = [] { return std::optional<RecoveryMode>(RecoveryMode::Normal); };
        w.Next();
        QVERIFY(!w.Browser().ContextMenuAllowed()); // a worker is busy or the step is not Browse
        QVERIFY(WaitIdle(w));
        QVERIFY(!w.Browser().ContextMenuAllowed()); // no row selected
        w.Browser().DetailsView()->selectRow(0);
        QVERIFY(w.Browser().ContextMenuAllowed());
        QTest::keyClick(w.Browser().DetailsView(), Qt::Key_Tab); // the tree is used last
        QVERIFY(!w.Browser().ListUsedLast());
        QVERIFY(!w.Browser().ContextMenuAllowed());
        // Back from Browse: Settings stays enabled, Recover Selected greys.
        w.Back();
        QVERIFY(w.MenuAction(Command::Settings)->isEnabled());
        QVERIFY(!w.MenuAction(Command::RecoverSelected)->isEnabled());
    }

    void filtersNarrowTheListToMatchingFiles() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        Browse(w);
        FiltersDialog dialog(w.SessionState().filters, m, &w);
        dialog.show();
        // Enter adds once: one refusal for an over-long entry, none after an added one.
        dialog.edit->setText(QString(20, 'x'));
        QTest::keyClick(dialog.edit, Qt::Key_Return);
        QCOMPARE(m.shown.size(), size_t{1});
        QCOMPARE(m.shown.back().text, QString("      Filter too long     "));
        dialog.edit->setText("*.TXT");
        QTest::keyClick(dialog.edit, Qt::Key_Return);
        QCOMPARE(dialog.list->count(), 1);
        QCOMPARE(m.shown.size(), size_t{1}); // no "blank entry" after the add
        dialog.edit->setText("*.TXT");
        QTest::keyClick(dialog.edit, Qt::Key_Return);
        QCOMPARE(m.shown.back().text, QString("      Filter already exists in the list     "));
        dialog.done(QDialog::Accepted);
        w.Browser().ClickFolder(w.Browser().FolderModel()->RootIndex());
        QCOMPARE(Names(w), (QStringList{"etc", "export", "readme.txt"})); // folders always shown
        // Every Next drops the filters.
        w.Back();
        w.SelectVolume(0);
        w.Next();
        QVERIFY(WaitIdle(w));
        QCOMPARE(w.Browser().ListModel()->rowCount(), 4);
    }

    void renameChangesTheTreeAndAnEmptyNameKeepsTheOld() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        Browse(w);
        const int row = RowNamed(w, "readme.txt");
        QVERIFY(w.Browser().ListModel()->setData(w.Browser().ListModel()->index(row, 0), QString(),
                                                 Qt::EditRole) == false);
        QCOMPARE(w.Browser().ListModel()->index(row, 0).data().toString(), QString("readme.txt"));
        QVERIFY(w.Browser().ListModel()->setData(w.Browser().ListModel()->index(row, 0),
                                                 QString("README.first"), Qt::EditRole));
        QCOMPARE(w.Browser().ListModel()->index(row, 0).data().toString(), QString("README.first"));
        const int etc = RowNamed(w, "etc");
        QVERIFY(w.Browser().ListModel()->setData(w.Browser().ListModel()->index(etc, 0),
                                                 QString("config"), Qt::EditRole));
        const QModelIndex item =
            w.Browser().FolderModel()->FolderIndex(w.Browser().ListModel()->RowAt(etc).index);
        QCOMPARE(item.data().toString(), QString("config"));
        // F2 in the list starts an in-place rename.
        w.Browser().DetailsView()->selectRow(row);
        w.Browser().DetailsView()->setFocus();
        QTest::keyClick(w.Browser().DetailsView(), Qt::Key_F2);
        QVERIFY(w.Browser().LabelEditing());
    }

    void propertiesOfAFileAndOfAFolder() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        Browse(w);
        PropertiesValues f = w.Browser().ComputeProperties(RowNamed(w, "big.bin"));
        QCOMPARE(f.size, QString("586 KB (600000 bytes)"));
        QVERIFY(f.contains.isEmpty());
        PropertiesValues e = w.Browser().ComputeProperties(RowNamed(w, "export"));
        QCOMPARE(e.contains, QString("2 File(s) and 2 Folder(s)"));
        QCOMPARE(e.found, QString("Named by its folder"));
        QVERIFY(e.status.isEmpty());
        QVERIFY2(e.size.startsWith("Less than 1 MB ("), qPrintable(e.size));
        QVERIFY(e.size.endsWith(" bytes)"));
    }

    void aBadSectorMapLoadedFirstMakesTheCopyReportWhatItCost() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        QVERIFY(w.MenuAction(Command::BadSectorMap)->isEnabled()); // before any disk is opened
        // The same volume as slice 0 of the disk: where big.bin's first block lies.
        UfsParams p;
        p.sizeSectors = 16 * 1024 * 4;
        p.cylindersPerGroup = 8;
        const UfsVolume vol = BuildUfs(Tree(), p);
        const uint64_t first = uint64_t{vol.Find("/big.bin")->dataFrags[0]} * vol.layout.nspf;
        const uint64_t etc = uint64_t{vol.Find("/etc")->dataFrags[0]} * vol.layout.nspf;
        QTemporaryDir tmp;
        QFile map(tmp.filePath("rescue.map"));
        QVERIFY(map.open(QIODevice::WriteOnly));
        // A whole map of the disk, as ddrescue writes one: what it does not cover would be
        // unreadable too.
        const uint64_t diskBytes = static_cast<uint64_t>(QFileInfo(disk_).size());
        QVERIFY(first < etc);
        map.write(QString("0x0 + 1\n0 %1 +\n%1 1024 -\n%2 %3 +\n%4 512 ?\n%5 %6 +\n")
                      .arg(first * 512)
                      .arg(first * 512 + 1024)
                      .arg((etc - first) * 512 - 1024)
                      .arg(etc * 512)
                      .arg(etc * 512 + 512)
                      .arg(diskBytes - etc * 512 - 512)
                      .toUtf8());
        map.close();
        w.Commands().chooseBadMap = [&] { return map.fileName(); };
        w.MenuAction(Command::BadSectorMap)->trigger();
        QCOMPARE(m.shown.back().kind, MessageKind::Information);
        QVERIFY(m.shown.back().text.contains("3 sector(s) in 2 area(s)"));
        Browse(w);
        // The mount's report names the folder whose entries were lost.
        QCOMPARE(m.reports.size(), size_t{1});
        QCOMPARE(m.reports[0].second.size(), 1);
        QVERIFY(m.reports[0].second[0].startsWith("Folder /etc: directory data at sector"));
        w.chooseDestination = [&] { return tmp.filePath("all"); };
        w.RecoverAll();
        QCOMPARE(m.reports.size(), size_t{2});
        QVERIFY(m.reports[1].first.contains("1 item(s) are incomplete"));
        QCOMPARE(m.reports[1].second,
                 QStringList{"Incomplete (unreadable parts written as zeros): /big.bin"});
        // A file that is no map is refused, and says why.
        w.Commands().chooseBadMap = [&] { return tmp.filePath("all/readme.txt"); };
        w.MenuAction(Command::BadSectorMap)->trigger();
        QCOMPARE(m.shown.back().kind, MessageKind::Error);
        QVERIFY(m.shown.back().text.contains("readme.txt: line 1"));
    }

    // Files whose inodes lie in an unreadable sector keep their names in their folder, as
    // greyed rows that say why; they are never selected or copied.
    void filesWhoseInodesAreUnreadableAreGreyedRowsInTheirFolder() {
        QTemporaryDir tmp;
        std::vector<TreeNode> files;
        for (int i = 0; i < 16; ++i)
            files.push_back(File("f" + std::to_string(i) + ".txt", "content " + std::to_string(i)));
        const TreeNode tree = Dir("", {Dir("a", files), File("keep.txt", "kept")});
        const QString image = SmallDisk(tmp, tree, "lost.img");
        UfsParams p;
        p.sizeSectors = 8192;
        const UfsVolume v = BuildUfs(tree, p);
        const auto sectorOf = [&](const std::string& path) {
            return v.layout.InodeByteOffset(v.Find(path)->inode) / 512;
        };
        const uint64_t bad = sectorOf("/a/f12.txt");
        QVERIFY(bad != sectorOf("/a") && bad != sectorOf("/keep.txt"));
        QStringList lost;
        for (int i = 0; i < 16; ++i)
            if (sectorOf("/a/f" + std::to_string(i) + ".txt") == bad)
                lost << QString("f%1.txt").arg(i);
        QFile map(tmp.filePath("rescue.map"));
        QVERIFY(map.open(QIODevice::WriteOnly));
        const uint64_t size = static_cast<uint64_t>(QFileInfo(image).size());
        map.write(QString("0x0 + 1\n0 %1 +\n%1 512 -\n%2 %3 +\n")
                      .arg(bad * 512)
                      .arg(bad * 512 + 512)
                      .arg(size - bad * 512 - 512)
                      .toUtf8());
        map.close();
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {image}, nullptr, false);
        w.Commands().chooseBadMap = [&] { return map.fileName(); };
        w.MenuAction(Command::BadSectorMap)->trigger();
        Browse(w);
        w.Browser().ShowFolder(v.Find("/a")->inode);
        const FileListModel* model = w.Browser().ListModel();
        QCOMPARE(model->rowCount(), 16);
        for (const QString& name : lost) {
            const int row = RowNamed(w, name);
            QVERIFY2(row >= 0, qPrintable(name));
            QCOMPARE(model->index(row, 1).data().toString(), QString("unreadable"));
            QVERIFY(model->index(row, 0)
                        .data(Qt::ToolTipRole)
                        .toString()
                        .contains(QString::number(bad)));
            QVERIFY(!(model->flags(model->index(row, 0)) & Qt::ItemIsSelectable));
        }
        // Select all takes the readable files only; the copy writes them, and nothing of
        // the lost ones.
        w.Browser().DetailsView()->selectAll();
        QCOMPARE(static_cast<qsizetype>(w.Browser().SelectedItems().size()), 16 - lost.size());
        w.chooseDestination = [&] { return tmp.filePath("out"); };
        w.RecoverSelected();
        QCOMPARE(QDir(tmp.filePath("out")).entryList(QDir::Files).size(), 16 - lost.size());
        QVERIFY(!QFileInfo::exists(tmp.filePath("out/") + lost[0]));
    }

    // Rows dragged to a file manager: copied out through the extraction engine into a
    // folder of their own, handed over as file URLs; a folder comes with its subtree.
    void rowsDraggedOutAreCopiedFirstAndHandedOverAsFiles() {
        QTemporaryDir tmp;
        const QString image = SmallDisk(
            tmp,
            Dir("", {File("note.txt", "a note\n"), Dir("docs", {File("inner.txt", "inside\n")})}),
            "drag.img");
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {image}, nullptr, false);
        Browse(w);
        QTableView* v = w.Browser().DetailsView();
        QVERIFY(v->dragEnabled());
        FileListModel* model = w.Browser().ListModel();
        QVERIFY(model->flags(model->index(RowNamed(w, "note.txt"), 0)) & Qt::ItemIsDragEnabled);
        // Nothing selected: no drag.
        v->clearSelection();
        QVERIFY(model->mimeData({}) == nullptr);
        v->selectionModel()->select(model->index(RowNamed(w, "note.txt"), 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
        v->selectionModel()->select(model->index(RowNamed(w, "docs"), 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
        std::unique_ptr<QMimeData> data(model->mimeData({}));
        QVERIFY(data != nullptr);
        QCOMPARE(data->urls().size(), 2);
        QStringList names;
        for (const QUrl& u : data->urls()) {
            QVERIFY(u.isLocalFile());
            names << QFileInfo(u.toLocalFile()).fileName();
        }
        names.sort();
        QCOMPARE(names, (QStringList{"docs", "note.txt"}));
        const QString base = QFileInfo(data->urls()[0].toLocalFile()).path();
        QFile inner(base + "/docs/inner.txt");
        QVERIFY(inner.open(QIODevice::ReadOnly));
        QCOMPARE(inner.readAll(), QByteArray("inside\n"));
        QVERIFY(m.reports.size() == 1); // the mount's: a whole copy adds none mid-drag
    }

    // A crashed logging volume: the window shows what only its log holds, says so, and
    // shows the volume as it stands when told to leave the log alone.
    void aCrashedLoggingVolumeIsShownWithItsLogReplayed() {
        QTemporaryDir tmp;
        const QString image = CrashedDisk(tmp);
        {
            Recorder m;
            NoDesktop d;
            MainDialog w(m, d, {image});
            QVERIFY(w.SessionState().settings.applyLog);
            Browse(w);
            QVERIFY(RowNamed(w, "new.txt") >= 0);
            QCOMPARE(m.reports.size(), size_t{1});
            QVERIFY(m.reports[0].first.contains("UFS log replayed: 1 transaction(s)"));
            const DriveInformation info = MakeDriveInformation(*w.SessionState().Mounted());
            QCOMPARE(info.log.status, LogStatus::Replayed);
        }
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {image});
        {
            SettingsDialog dialog(w.SessionState().settings);
            dialog.applyLog->setChecked(false);
            dialog.accept();
        }
        QVERIFY(!w.SessionState().settings.applyLog);
        Browse(w);
        QCOMPARE(RowNamed(w, "new.txt"), -1);
        QVERIFY(RowNamed(w, "old.txt") >= 0);
        QVERIFY(m.reports[0].first.contains("UFS log ignored on request"));
    }

    // Replacing what is in the destination never replaces the disk image being read.
    void anOverwritingCopyIntoTheImagesFolderIsRefused() {
        QTemporaryDir tmp;
        const QString image = tmp.filePath("disk.img");
        QVERIFY(QFile::copy(disk_, image));
        const QByteArray before = [&] {
            QFile f(image);
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        }();
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {image});
        Browse(w);
        w.SessionState().settings.duplicatePolicy = DuplicatePolicy::Overwrite;
        w.chooseDestination = [&] { return tmp.path(); };
        w.RecoverAll();
        QCOMPARE(m.shown.back().kind, MessageKind::Error);
        QVERIFY(m.shown.back().text.contains("lies inside it"));
        QFile f(image);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"disk.img"});
    }

    void recoverSelectedAndAllWriteIntoTheChosenFolder() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        Browse(w);
        QTemporaryDir out;
        w.chooseDestination = [&] { return out.filePath("sel"); };
        w.Browser().DetailsView()->selectRow(RowNamed(w, "export"));
        w.RecoverSelected();
        QFile report(out.filePath("sel/export/home/alice/report.txt"));
        QVERIFY(report.open(QIODevice::ReadOnly));
        QCOMPARE(report.readAll(), QByteArray("quarterly\n"));
        w.chooseDestination = [&] { return out.filePath("all"); };
        w.RecoverAll();
        QVERIFY(QFile::exists(out.filePath("all/etc/passwd")));
        QVERIFY(QFile::exists(out.filePath("all/big.bin")));
        // The mount and each copy end with a report; a whole one lists nothing.
        QCOMPARE(m.reports.size(), size_t{3});
        QVERIFY(m.reports[0].first.contains("Nothing was found unreadable or damaged."));
        QVERIFY(m.reports[2].first.startsWith("Recovered "));
        QVERIFY(m.reports[2].second.isEmpty());
        // The copy's report can be saved as DFXML: one fileobject per item copied.
        QVERIFY(bool(m.lastSaveReport));
        const QString xml = out.filePath("report.xml");
        QCOMPARE(m.lastSaveReport(xml), QString());
        QFile saved(xml);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QXmlStreamReader reader(&saved);
        int objects = 0;
        while (!reader.atEnd()) {
            if (reader.readNext() == QXmlStreamReader::StartElement &&
                reader.name() == u"fileobject")
                ++objects;
        }
        QVERIFY(!reader.hasError());
        QCOMPARE(objects, 10); // 4 folders, 6 files
        QCOMPARE(m.lastSaveReport(out.filePath("no/such/folder/r.xml")).isEmpty(), false);
        // The report names where the copy went and opens it on request; without a
        // program for folders it says where the files are.
        QCOMPARE(m.lastActions.destination, out.filePath("all"));
        QVERIFY(bool(m.lastActions.openDestination));
        m.lastActions.openDestination();
        QCOMPARE(d.openedFiles.back(), out.filePath("all"));
        d.hasHandler = false;
        m.lastActions.openDestination();
        QVERIFY(m.shown.back().text.contains(out.filePath("all")));
        m.shown.clear();
        {
            ReportDialog dialog(&w, "summary", {}, m.lastActions);
            QStringList buttons;
            for (const QPushButton* b : dialog.findChildren<QPushButton*>())
                buttons << b->text();
            QVERIFY2(buttons.contains("&Open Destination Folder") &&
                         buttons.contains("&Save Report..."),
                     qPrintable(buttons.join(", ")));
        }
        // A toolbar button follows its greyed menu item: nothing runs on another step.
        w.Back();
        w.MenuAction(Command::RecoverAll)->trigger();
        QVERIFY(m.shown.empty());
    }

    void stopSavingEndsTheCopyAndTheDialogClosesItself() {
        SaveProgressDialog dialog;
        QTimer::singleShot(50, &dialog, [&] { dialog.stopSaving->click(); });
        const ExtractionSummary s = dialog.Run([](ExtractionControl& c, ExtractionObserver&) {
            ExtractionSummary r;
            while (!c.stopSavingRequested.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            r.stopped = true;
            return r;
        });
        QVERIFY(s.stopped);
        QVERIFY(!dialog.isVisible());
    }

    void findStopAnsweredNoFinishesAndYesStops() {
        RecoveredTree tree;
        tree.AddFolderNode("Alpha", 10, 2, 1);
        for (uint32_t i = 0; i < 300000; ++i)
            tree.AddFileNode("file" + std::to_string(i) + ".txt", 100 + i, 10, 1, i, 0x81A4);
        tree.BuildChildIndex();
        FileListModel types;
        Recorder m;
        {
            FindFilesDialog dialog(tree, types, m);
            dialog.edit->setText("*.txt");
            m.answers = {false};
            dialog.StartSearch();
            QVERIFY(!dialog.start->isEnabled());
            dialog.StopSearch();
            QCOMPARE(m.shown.back().text, QString("Do you want to stop file searching ?"));
            QElapsedTimer t;
            t.start();
            while (dialog.Searching() && t.elapsed() < 20000)
                QApplication::processEvents(QEventLoop::AllEvents, 10);
            QApplication::processEvents();
            QTest::qWait(100);
            QCOMPARE(dialog.results->topLevelItemCount(), 300000);
            QCOMPARE(dialog.results->topLevelItem(0)->text(1), QString("/Alpha"));
            QVERIFY(dialog.start->isEnabled());
        }
        {
            FindFilesDialog dialog(tree, types, m);
            dialog.edit->setText("*.txt");
            m.answers = {true};
            int rowsAsked = -1;
            QString countAsked;
            m.onAsk = [&] {
                rowsAsked = dialog.results->topLevelItemCount();
                countAsked = dialog.filesFound->text();
            };
            dialog.StartSearch();
            QTest::qWait(30);
            dialog.StopSearch();
            m.onAsk = nullptr;
            QVERIFY(!dialog.Searching());
            // What the question stood over is what stays: rows and count agree, and at most
            // the file being matched as the question came was added.
            QCOMPARE(QString::number(rowsAsked), countAsked);
            QCOMPARE(dialog.filesFound->text(),
                     QString::number(dialog.results->topLevelItemCount()));
            QVERIFY(dialog.results->topLevelItemCount() - rowsAsked <= 1);
            QVERIFY(dialog.start->isEnabled());
            QVERIFY(!dialog.stop->isEnabled());
            QVERIFY(dialog.results->topLevelItemCount() <= 300000);
        }
    }

    // A search whose hits pour in faster than the window shows them: they reach the list in
    // slices (the window never waits on one flood of rows), and the search ends only once
    // the last is on screen, the count with it.
    void findShowsAFloodOfHitsInSlicesAndEndsWhenAllAreShown() {
        RecoveredTree tree;
        for (uint32_t i = 0; i < 60000; ++i)
            tree.AddFileNode("hit" + std::to_string(i), 100 + i, 2, 1, i, 0x81A4);
        tree.BuildChildIndex();
        FileListModel types;
        Recorder m;
        FindFilesDialog dialog(tree, types, m);
        int largestSlice = 0, slices = 0;
        connect(dialog.results->model(), &QAbstractItemModel::rowsInserted, this,
                [&](const QModelIndex&, int first, int last) {
                    largestSlice = std::max(largestSlice, last - first + 1);
                    ++slices;
                });
        dialog.edit->setText("hit*");
        dialog.StartSearch();
        QElapsedTimer t;
        t.start();
        while (dialog.Searching() && t.elapsed() < 20000)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        QVERIFY(!dialog.Searching());
        QCOMPARE(dialog.results->topLevelItemCount(), 60000);
        QCOMPARE(dialog.filesFound->text(), QString("60000"));
        QCOMPARE(dialog.lastFile->text(), QString("hit59999"));
        QVERIFY(dialog.start->isEnabled());
        QVERIFY2(largestSlice <= 8192, qPrintable(QString::number(largestSlice)));
        QVERIFY(slices >= 60000 / 8192);
    }

    // On a case-sensitive volume two names that differ in case are two files: Find shows each
    // as the disk has it (the match ignores case).
    void findShowsNamesAsTheDiskHasThem() {
        RecoveredTree tree;
        tree.AddFileNode("Readme.txt", 10, 2, 1, 5, 0x81A4);
        tree.AddFileNode("README.TXT", 11, 2, 1, 6, 0x81A4);
        tree.AddFileNode("other", 12, 2, 1, 7, 0x81A4);
        tree.BuildChildIndex();
        FileListModel types;
        Recorder m;
        FindFilesDialog dialog(tree, types, m);
        dialog.edit->setText("readme");
        dialog.StartSearch();
        QElapsedTimer t;
        t.start();
        while (dialog.Searching() && t.elapsed() < 20000)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(50);
        QCOMPARE(dialog.results->topLevelItemCount(), 2);
        QStringList names;
        for (int i = 0; i < 2; ++i)
            names << dialog.results->topLevelItem(i)->text(0);
        names.sort();
        QCOMPARE(names, (QStringList{"README.TXT", "Readme.txt"}));
        // A search that finds nothing says "0", not nothing.
        dialog.edit->setText("nowhere");
        dialog.StartSearch();
        t.restart();
        while (dialog.Searching() && t.elapsed() < 20000)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(50);
        QCOMPARE(dialog.results->topLevelItemCount(), 0);
        QCOMPARE(dialog.filesFound->text(), QString("0"));
    }

    // A 255-character name: cut in its middle, the other columns and the header in view.
    void aLongNameKeepsTheColumnsInView() {
        QTemporaryDir tmp;
        const QString image =
            SmallDisk(tmp, Dir("", {File(std::string(255, 'n'), "x"), File("b", "y")}), "long.img");
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {image}, nullptr, false);
        w.resize(1000, 700);
        w.show();
        Browse(w);
        QTableView* v = w.Browser().DetailsView();
        QApplication::processEvents();
        QCOMPARE(v->textElideMode(), Qt::ElideMiddle);
        QHeaderView* h = v->horizontalHeader();
        const int right = h->sectionViewportPosition(5) + h->sectionSize(5);
        QVERIFY2(right <= v->viewport()->width(),
                 qPrintable(QString("%1 > %2").arg(right).arg(v->viewport()->width())));
        QVERIFY(h->sectionSize(0) > h->sectionSize(5)); // Name, not Sector, takes the room
    }

    // A click on a column header sorts the list by it (folders first, a second click the
    // other way), a third puts it back in the order the folder was found in; the selected
    // row goes with its file.
    void headersSortTheListAndAThirdClickRestoresTheFoundOrder() {
        QTemporaryDir tmp;
        const QString image =
            SmallDisk(tmp,
                      Dir("", {File("beta.txt", "12345"), Dir("zeta", {}), File("Alpha.txt", "1"),
                               File("gamma.bin", "123"), Dir("acorn", {})}),
                      "sort.img");
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {image}, nullptr, false);
        w.resize(1000, 700);
        w.show();
        Browse(w);
        const QStringList found = Names(w);
        QCOMPARE(found.mid(0, 2), (QStringList{"zeta", "acorn"}));
        QTableView* v = w.Browser().DetailsView();
        QHeaderView* h = v->horizontalHeader();
        const auto clickHeader = [&](int section) {
            QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                              QPoint(h->sectionViewportPosition(section) + 5, h->height() / 2));
        };
        v->selectRow(RowNamed(w, "gamma.bin"));
        clickHeader(0);
        QCOMPARE(Names(w), (QStringList{"acorn", "zeta", "Alpha.txt", "beta.txt", "gamma.bin"}));
        QCOMPARE(w.Browser().SelectedRow(), RowNamed(w, "gamma.bin"));
        clickHeader(0);
        QCOMPARE(Names(w), (QStringList{"zeta", "acorn", "gamma.bin", "beta.txt", "Alpha.txt"}));
        clickHeader(0);
        QCOMPARE(Names(w), found);
        QCOMPARE(w.Browser().SelectedRow(), RowNamed(w, "gamma.bin"));
        // By size: the folders first, then the files smallest first; the order holds when
        // another folder is listed and this one again.
        clickHeader(static_cast<int>(ListColumn::Size));
        QCOMPARE(Names(w).mid(2), (QStringList{"Alpha.txt", "gamma.bin", "beta.txt"}));
        w.Browser().ShowFolder(kRootInode);
        QCOMPARE(Names(w).mid(2), (QStringList{"Alpha.txt", "gamma.bin", "beta.txt"}));
        const QModelIndex size = w.Browser().ListModel()->index(RowNamed(w, "beta.txt"), 2);
        QCOMPARE(size.data(Qt::ToolTipRole).toString(),
                 QLocale().formattedDataSize(5, 1, QLocale::DataSizeTraditionalFormat));
    }

    void exitAsksAndNoKeepsTheSession() {
        Recorder m;
        NoDesktop d;
        auto* w = new MainDialog(m, d, {disk_});
        w->show();
        Browse(*w);
        m.answers = {false};
        QVERIFY(!w->close());
        QCOMPARE(m.shown.back().text, QString("Do you really want to exit ?"));
        QVERIFY(w->Mounted() != nullptr);
        QVERIFY(d.opened.isEmpty());
        m.answers = {true};
        QVERIFY(w->close());
        QCOMPARE(d.opened.size(), 1); // the product page
        delete w;
    }

    // Without a browser the manual opens in the program's own window, at the step's page;
    // F1 in a dialog opens that dialog's page over it.
    void helpOpensInAWindowOfItsOwnWithoutABrowser() {
        qputenv("TREVIK_MANUAL_DIR", QT_TESTCASE_SOURCEDIR "/../docs/manual");
        Recorder m;
        NoDesktop d;
        d.hasBrowser = false;
        MainDialog w(m, d, {disk_}, nullptr, false);
        w.show();
        QApplication::setActiveWindow(&w);
        w.ShowHelpContents();
        QDialog* help = w.Commands().HelpWindowShown();
        QVERIFY2(help != nullptr, m.shown.empty() ? "" : qPrintable(m.shown.back().text));
        QVERIFY(help->isVisible());
        auto* browser = help->findChild<QTextBrowser*>();
        QVERIFY(browser != nullptr);
        QCOMPARE(browser->source().fileName(), QString("disk.html"));
        QVERIFY(browser->toPlainText().contains("Step 1: choose the disk"));
        help->close();
        // F1 in Settings: the settings page, in a window over the dialog.
        SettingsDialog settings(w.SessionState().settings, &w);
        settings.setWindowModality(Qt::ApplicationModal);
        settings.show();
        QApplication::setActiveWindow(&settings);
        settings.sectors->setFocus();
        QTimer::singleShot(0, [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1); });
        QTest::qWait(50);
        auto* over = settings.findChild<QDialog*>();
        QVERIFY(over != nullptr);
        auto* page = over->findChild<QTextBrowser*>();
        QVERIFY(page != nullptr);
        QCOMPARE(page->source().fileName(), QString("recovering.html"));
        QCOMPARE(page->source().fragment(), QString("settings"));
        qunsetenv("TREVIK_MANUAL_DIR");
    }

    void percentBarFillsItsShareAndShowsThePercentage() {
        PercentProgressBar bar;
        bar.resize(200, 20);
        bar.setValue(37);
        QCOMPARE(bar.FilledWidth(), 74);
        QCOMPARE(bar.Text(), QString("37%"));
        QCOMPARE(bar.setValue(100), 37);
        QCOMPARE(bar.FilledWidth(), 200);
        bar.setCustomText("Scanning");
        QCOMPARE(bar.Text(), QString("Scanning"));
    }

    void keysTabEnterAndEscape() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        w.show();
        Browse(w);
        w.Browser().DetailsView()->selectRow(RowNamed(w, "etc"));
        w.Browser().DetailsView()->setFocus();
        QTest::keyClick(w.Browser().DetailsView(), Qt::Key_Tab);
        QVERIFY(!w.Browser().ListUsedLast());
        QTest::keyClick(w.Browser().FolderTree(), Qt::Key_Tab);
        QVERIFY(w.Browser().ListUsedLast());
        QTest::keyClick(w.Browser().DetailsView(), Qt::Key_Return); // opens the selected folder
        QCOMPARE(Names(w), (QStringList{"passwd", "notes.txt"}));
        // The focus stays in the list: the arrows walk on in the folder opened.
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Browser().DetailsView()));
        QTest::keyClick(w.Browser().DetailsView(), Qt::Key_Down);
        QVERIFY(w.Browser().SelectedRow() >= 0);
        QVERIFY(w.Browser().ListUsedLast());
        QTest::keyClick(w.Browser().DetailsView(), Qt::Key_Escape);
        QVERIFY(w.isVisible()); // never closes the window
    }

    // The path bar names the folder listed; Alt+Up lists the one holding it (the folder
    // come from current), Backspace and Alt+Left the one listed before; the focus stays in
    // the list throughout.
    void thePathBarUpAndBack() {
        QTemporaryDir tmp;
        const QString image =
            SmallDisk(tmp, Dir("", {Dir("a", {Dir("b", {File("deep.txt", "x")}), File("f", "y")})}),
                      "path.img");
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {image}, nullptr, false);
        w.show();
        Browse(w);
        BrowsePane& b = w.Browser();
        QTableView* v = b.DetailsView();
        QVERIFY(b.PathBar()->isVisible());
        QCOMPARE(b.PathText(), QString("/"));
        const auto open = [&](const QString& name) {
            v->setFocus();
            v->setCurrentIndex(b.ListModel()->index(RowNamed(w, name), 0));
            QTest::keyClick(v, Qt::Key_Return);
        };
        open("a");
        open("b");
        QCOMPARE(b.PathText(), QString("/a/b"));
        QCOMPARE(Names(w), QStringList{"deep.txt"});
        QTest::keyClick(v, Qt::Key_Up, Qt::AltModifier);
        QCOMPARE(b.PathText(), QString("/a"));
        QCOMPARE(v->currentIndex().row(), RowNamed(w, "b"));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v));
        QTest::keyClick(v, Qt::Key_Backspace);
        QCOMPARE(b.PathText(), QString("/a/b"));
        QTest::keyClick(v, Qt::Key_Left, Qt::AltModifier);
        QCOMPARE(b.PathText(), QString("/a"));
        QTest::keyClick(v, Qt::Key_Backspace);
        QCOMPARE(b.PathText(), QString("/"));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v));
        // Nothing before the first folder, nothing above the root.
        QTest::keyClick(v, Qt::Key_Backspace);
        QTest::keyClick(v, Qt::Key_Up, Qt::AltModifier);
        QCOMPARE(b.PathText(), QString("/"));
        QCOMPARE(w.Step(), WizardStep::Browse);
        // The pane with the focus draws its selection in the full highlight, the other in
        // a paler one; the focus moving swaps them.
        QVERIFY(QTest::qWaitForWindowActive(&w));
        v->setFocus();
        QApplication::processEvents();
        const auto highlight = [](QWidget* x) { return x->palette().color(QPalette::Highlight); };
        const QColor strong = QApplication::palette(v).color(QPalette::Highlight);
        QCOMPARE(highlight(v), strong);
        QVERIFY(highlight(b.FolderTree()) != strong);
        b.FolderTree()->setFocus();
        QApplication::processEvents();
        QCOMPARE(highlight(b.FolderTree()), strong);
        QVERIFY(highlight(v) != strong);
        // Back in the wizard hides the bar; a new mount starts with no history.
        w.Back();
        QVERIFY(!b.PathBar()->isVisible());
    }

    // A file 26 folders deep, revealed (as a Find hit is opened): the tree scrolls sideways
    // so that its folder's name is in view, not a row of indentation.
    void aDeepFolderIsScrolledToSideways() {
        QTemporaryDir tmp;
        TreeNode deep = Dir("level-26", {File("hit.txt", "found")});
        for (int i = 25; i >= 1; --i)
            deep = Dir("level-" + std::to_string(i), {deep});
        const QString image = SmallDisk(tmp, Dir("", {deep}), "deep.img");
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {image}, nullptr, false);
        w.resize(900, 600);
        w.show();
        Browse(w);
        const RecoveredTree& t = w.Mounted()->tree;
        uint32_t hit = 0;
        for (uint32_t f = 0; f < t.Files().size(); ++f)
            if (t.FileName(f) == std::string_view("hit.txt"))
                hit = f;
        w.Browser().RevealFile(hit);
        QApplication::processEvents();
        QCOMPARE(Names(w), QStringList{"hit.txt"});
        QTreeView* tree = w.Browser().FolderTree();
        const QRect r = tree->visualRect(tree->currentIndex());
        QCOMPARE(tree->currentIndex().data().toString(), QString("level-26"));
        QVERIFY(tree->horizontalScrollBar()->value() > 0);
        // Its name wholly in view (the tree ends where the deepest name does).
        const int name = tree->fontMetrics().horizontalAdvance("level-26");
        QVERIFY2(
            r.left() >= 0 && r.left() + name <= tree->viewport()->width(),
            qPrintable(QString("item at %1 of %2").arg(r.left()).arg(tree->viewport()->width())));
    }

    void keyboardSelectionDrivesThePanelAndNext() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_, noLabel_});
        w.chooseMode = [] { return std::optional<RecoveryMode>(RecoveryMode::Normal); };
        w.show();
        w.SelectDisk(DiskRow(w) - 1); // the labelled image
        w.DiskTree()->setFocus();
        QTest::keyClick(w.DiskTree(), Qt::Key_Down); // the one without a label
        QVERIFY(!w.NextButton()->isHidden());
        w.Next();
        QCOMPARE(m.shown.back().kind, MessageKind::Information); // it read the highlighted one
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
        QTest::keyClick(w.DiskTree(), Qt::Key_Up);
        QVERIFY(!w.NextButton()->isHidden());
        w.Next();
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        w.VolumeTree()->setFocus();
        w.SelectVolume(0);
        QTest::keyClick(w.VolumeTree(), Qt::Key_Down);
        const QString shown = w.Panel().Value(1);
        QCOMPARE(shown, w.VolumeTree()->currentItem()->text(0));
        QCOMPARE(shown, QString::fromStdString(w.SessionState().volumes[1].name));
        w.Next();
        QVERIFY(WaitIdle(w));
        QCOMPARE(QString::fromStdString(w.Mounted()->entry.name), shown); // the one highlighted
        // In the folder tree, keys list the folder reached.
        w.Browser().FolderTree()->setFocus();
        QTest::keyClick(w.Browser().FolderTree(), Qt::Key_Down);
        QCOMPARE(w.Browser().FolderTree()->currentIndex().data().toString(), QString("etc"));
        QCOMPARE(Names(w), (QStringList{"passwd", "notes.txt"}));
    }

    void toolbarTooltipsSurviveGreyingAndEnabling() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        const std::pair<Command, QString> expected[] = {
            {Command::RecoverSelected, "Copy the selected file(s) and folder(s) to your computer"},
            {Command::RecoverAll, "Copy all the file(s) and folder(s) to your computer"},
            {Command::FindFiles, "Search the file(s) in the recovered data"},
            {Command::Settings, "Configures the software"}};
        auto check = [&](const char* when) {
            for (const auto& [c, text] : expected) {
                QWidget* button = w.Commands().Toolbar()->widgetForAction(w.MenuAction(c));
                QVERIFY2(button != nullptr, when);
                QVERIFY2(button->toolTip() == text,
                         qPrintable(QString(when) + ": " + button->toolTip()));
            }
        };
        check("greyed at start");
        Browse(w);
        QVERIFY(w.MenuAction(Command::RecoverAll)->isEnabled());
        check("enabled while browsing");
        w.Back();
        QVERIFY(!w.MenuAction(Command::RecoverAll)->isEnabled());
        check("greyed again");
    }

    void droppingAnImageFileAddsItAsADisk() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        const int before = w.DiskTree()->topLevelItem(0)->childCount();
        auto drop = [&](const QList<QUrl>& urls) {
            QMimeData mime;
            mime.setUrls(urls);
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                                  Qt::NoModifier);
            QApplication::sendEvent(&w, &enter);
            if (!enter.isAccepted())
                return false;
            QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                               Qt::NoModifier);
            QApplication::sendEvent(&w, &dropped);
            return true;
        };
        QVERIFY(!drop({QUrl("https://example.invalid/disk.img")})); // not a file here
        QVERIFY(drop({QUrl::fromLocalFile(noLabel_)}));
        QCOMPARE(w.DiskTree()->topLevelItem(0)->childCount(), before + 1);
        QVERIFY(w.DiskTree()->topLevelItem(0)->child(before)->toolTip(0).contains(noLabel_));
        // A file that is no image is refused with the reason, and nothing is added.
        QVERIFY(drop({QUrl::fromLocalFile(dir_.path())}));
        QCOMPARE(m.shown.back().kind, MessageKind::Error);
        QCOMPARE(w.DiskTree()->topLevelItem(0)->childCount(), before + 1);
        // Past the disk step nothing is taken.
        w.SelectDisk(DiskRow(w) - 1);
        w.Next();
        QCOMPARE(w.Step(), WizardStep::SelectVolume);
        QVERIFY(!drop({QUrl::fromLocalFile(noLabel_)}));
    }

    void aFoundFileIsShownInThePanesByADoubleClick() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        w.show();
        Browse(w);
        QString path;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<FindFilesDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            dialog->edit->setText("report*");
            dialog->StartSearch();
            QTRY_VERIFY(!dialog->Searching());
            QCOMPARE(dialog->results->topLevelItemCount(), 1);
            QTreeWidgetItem* hit = dialog->results->topLevelItem(0);
            path = hit->text(1);
            QVERIFY(QTest::qWaitForWindowExposed(dialog));
            const QRect r = dialog->results->visualItemRect(hit);
            // A double click as the item views see one: a click, then the second press.
            QTest::mouseClick(dialog->results->viewport(), Qt::LeftButton, {}, r.center());
            QTest::mouseDClick(dialog->results->viewport(), Qt::LeftButton, {}, r.center());
            QApplication::processEvents();
            if (dialog->isVisible()) {
                dialog->reject(); // never hang: the checks below fail instead
            }
        });
        w.ShowFindFiles(); // returns once the double click has closed it
        QCOMPARE(path, QString("/export/home/alice"));
        QCOMPARE(w.Browser().FolderTree()->currentIndex().data().toString(), QString("alice"));
        const int row = w.Browser().SelectedRow();
        QVERIFY(row >= 0);
        QCOMPARE(w.Browser().ListModel()->index(row, 0).data().toString(), QString("report.txt"));
        QVERIFY(w.Browser().ListUsedLast());
    }

    // Enter on a hit opens it; a hit the file filters hide is named so, and shown once the
    // user clears them.
    void enterOpensAHitAndAFilteredHitIsNamedSo() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        w.show();
        Browse(w);
        w.SessionState().filters.Assign({"*.pdf"});
        m.answers = {true};
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<FindFilesDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            dialog->edit->setText("report*");
            dialog->StartSearch();
            QTRY_VERIFY(!dialog->Searching());
            QCOMPARE(dialog->results->topLevelItemCount(), 1);
            dialog->results->setCurrentItem(dialog->results->topLevelItem(0));
            dialog->results->setFocus();
            QTest::keyClick(dialog->results, Qt::Key_Return);
            QApplication::processEvents();
            if (dialog->isVisible())
                dialog->reject(); // never hang: the checks below fail instead
        });
        w.ShowFindFiles();
        QVERIFY(!m.shown.empty());
        QVERIFY2(m.shown.back().text.contains("report.txt is hidden by the filter *.pdf"),
                 qPrintable(m.shown.back().text));
        QCOMPARE(w.SessionState().filters.Count(), size_t{0});
        const int row = w.Browser().SelectedRow();
        QVERIFY(row >= 0);
        QCOMPARE(w.Browser().ListModel()->index(row, 0).data().toString(), QString("report.txt"));
    }

    void aSecondClickOnTheSelectedRowRenamesIt() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        Browse(w);
        QTableView* list = w.Browser().DetailsView();
        const QRect r =
            list->visualRect(w.Browser().ListModel()->index(RowNamed(w, "readme.txt"), 0));
        const int pause = QApplication::doubleClickInterval() + 150;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
        QTest::qWait(pause);
        QVERIFY(!w.Browser().LabelEditing()); // the first click only selects
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
        QTRY_VERIFY_WITH_TIMEOUT(w.Browser().LabelEditing(), pause * 4);
    }

    void openingAFileWithoutAProgramForItOffersOpenWith() {
        Recorder m;
        NoDesktop d;
        d.hasHandler = false;
        MainDialog w(m, d, {disk_});
        Browse(w);
        w.Browser().chooseProgram = [] { return QString("/usr/bin/less"); };
        w.Browser().DetailsView()->selectRow(RowNamed(w, "readme.txt"));
        m.answers = {false};
        w.Browser().OpenSelectedItem();
        QVERIFY(m.shown.back().text.startsWith("No program is set to open \"readme.txt\""));
        QVERIFY(d.openedWith.isEmpty());
        m.answers = {true};
        w.Browser().OpenSelectedItem();
        QCOMPARE(d.openedWith.size(), 1);
        QVERIFY(d.openedWith[0].startsWith("/usr/bin/less "));
        QFile copied(d.openedWith[0].mid(QString("/usr/bin/less ").size()));
        QVERIFY(copied.open(QIODevice::ReadOnly));
        QCOMPARE(copied.readAll(), QByteArray("hello\n"));
        // With a program for the type, the file goes straight to it.
        d.hasHandler = true;
        const size_t asked = m.shown.size();
        w.Browser().OpenSelectedItem();
        QCOMPARE(d.openedFiles.size(), 1);
        QCOMPARE(m.shown.size(), asked);
        // Opened again with duplicates renamed, the new copy is what the program gets (the
        // folder then holds two: the copy says which one it wrote).
        w.SessionState().settings.duplicatePolicy = DuplicatePolicy::Rename;
        w.Browser().OpenSelectedItem();
        QCOMPARE(d.openedFiles.size(), 2);
        QVERIFY2(d.openedFiles[1].endsWith("/readme (1).txt"), qPrintable(d.openedFiles[1]));
        QFile again(d.openedFiles[1]);
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), QByteArray("hello\n"));
    }

    void theStatusLineShowsTheFilterAndSuggestsExtensiveForNothingFound() {
        Recorder m;
        NoDesktop d;
        MainDialog w(m, d, {disk_});
        Browse(w);
        QVERIFY(!w.Panel().StatusLineShown());
        w.SessionState().filters.Assign({"*.TXT"});
        w.Browser().ClickFolder(w.Browser().FolderModel()->RootIndex());
        QCOMPARE(w.Panel().StatusLine(), QString("Filter: *.TXT, 1 hidden"));
        QVERIFY(w.Panel().StatusLineShown());
        // A volume with nothing in it, mounted Normal: Extensive is suggested.
        QTemporaryDir tmp;
        const QString image = SmallDisk(tmp, Dir("", {}), "empty.img");
        MainDialog e(m, d, {image});
        Browse(e);
        QVERIFY(e.Panel().StatusLine().contains("choose Extensive"));
    }

    void helpOpensTheManualAtTheStepsPageAndSaysSoWhenItIsMissing() {
        Recorder m;
        NoDesktop d;
        QTemporaryDir manual;
        qputenv("TREVIK_MANUAL_DIR", manual.path().toUtf8());
        MainDialog w(m, d, {disk_});
        w.show();
        // No manual where the program looks: the message, and nothing is opened.
        QTest::keyClick(w.DiskTree(), Qt::Key_F1);
        QCOMPARE(m.shown.back().kind, MessageKind::Error);
        QCOMPARE(m.shown.back().text, QString(" Trevik for Solaris (SPARC) manual not found"));
        QVERIFY(d.opened.isEmpty());
        for (const char* page : {"index.html", "disk.html", "volume.html", "browse.html"}) {
            QFile f(manual.filePath(page));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        // F1 from wherever the focus is, and the menu item: the page of the step shown.
        QTest::keyClick(w.DiskTree(), Qt::Key_F1);
        QCOMPARE(d.opened.size(), 1);
        QCOMPARE(d.opened.back(), QUrl::fromLocalFile(manual.filePath("disk.html")));
        w.chooseMode = [] { return std::optional<RecoveryMode>(RecoveryMode::Normal); };
        w.SelectDisk(DiskRow(w));
        w.Next();
        QTest::keyClick(w.VolumeTree(), Qt::Key_F1);
        QCOMPARE(d.opened.back(), QUrl::fromLocalFile(manual.filePath("volume.html")));
        w.SelectVolume(0);
        w.Next();
        QVERIFY(WaitIdle(w));
        QTest::keyClick(w.Browser().DetailsView(), Qt::Key_F1);
        QCOMPARE(d.opened.back(), QUrl::fromLocalFile(manual.filePath("browse.html")));
        QCOMPARE(d.opened.size(), 3);
        qunsetenv("TREVIK_MANUAL_DIR");
    }

    void aDiskThatCannotBeOpenedIsAnErrorAndNothingElse() {
        Recorder m;
        NoDesktop d;
        QTemporaryDir tmp;
        const QString path = tmp.filePath("gone.img");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 0));
        f.close();
        MainDialog w(m, d, {path});
        QVERIFY(QFile::remove(path));
        w.SelectDisk(DiskRow(w));
        w.Next();
        QCOMPARE(m.shown.back().kind, MessageKind::Error);
        QVERIFY(m.shown.back().text.contains(path));
        QVERIFY(m.shown.back().text.contains("No such file"));
        QCOMPARE(w.Step(), WizardStep::SelectDisk);
    }

    void closingWhileAMountRunsStopsAndJoinsIt() {
        Recorder m;
        NoDesktop d;
        auto* w = new MainDialog(m, d, {disk_});
        w->chooseMode = [] { return std::optional<RecoveryMode>(RecoveryMode::Extensive); };
        w->SelectDisk(DiskRow(*w));
        w->Next();
        w->SelectVolume(0);
        w->Next();
        m.answers = {true};
        QVERIFY(w->close());
        QVERIFY(!w->WorkerRunning());
        delete w;
    }
};

QTEST_MAIN(GuiTest)
#include "gui_test.moc"
