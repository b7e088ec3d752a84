#include "shell/screenshots.h"

#include "shell/dialogs.h"
#include "shell/main_dialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTableView>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>

namespace trevik::shell {
namespace {

class AnswerYes final : public MessageService {
public:
    explicit AnswerYes(QString dir) : dir_(std::move(dir)) {}
    void ShowMessage(QWidget*, MessageKind, const QString& text) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    bool AskYesNo(QWidget*, MessageKind, const QString&) override { return true; }
    // Reports are drawn to a picture of their own.
    void ShowReport(QWidget* parent, const QString& summary, const QStringList& details) override {
        ReportDialog dialog(parent, summary, details);
        dialog.show();
        QCoreApplication::processEvents();
        const QString file = QString("%1/report-%2.png").arg(dir_).arg(++reports_);
        dialog.grab().save(file);
        std::printf("%s\n", qPrintable(file));
    }

private:
    QString dir_;
    int reports_ = 0;
};

class NoDesktop final : public DesktopService {
public:
    void OpenUrl(const QUrl&) override {}
    void OpenWith(const QString&, const QString&) override {}
};

void Settle(MainDialog& w) {
    QElapsedTimer t;
    t.start();
    while ((w.WorkerRunning() || t.elapsed() < 200) && t.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

} // namespace

int RenderWizardSteps(const QString& dir, const QStringList& images) {
    if (images.isEmpty()) {
        std::fprintf(stderr, "trevik: --screenshots needs a disk image\n");
        return 2;
    }
    QDir().mkpath(dir);
    AnswerYes messages(dir);
    NoDesktop desktop;
    MainDialog w(messages, desktop, images);
    w.chooseMode = [] { return std::optional<RecoveryMode>(RecoveryMode::Normal); };
    w.resize(1000, 700);
    w.show();
    int n = 0;
    auto shot = [&](const char* name) {
        Settle(w);
        const QString file = QString("%1/%2-%3.png").arg(dir).arg(++n, 2, 10, QChar('0')).arg(name);
        w.grab().save(file);
        std::printf("%s\n", qPrintable(file));
    };
    shot("start");
    const int disk = w.diskTree->topLevelItem(0)->childCount() - 1; // the image: last listed
    w.ClickDisk(disk);
    shot("disk-selected");
    w.Next();
    shot("volumes");
    w.ClickVolume(static_cast<int>(w.SessionState().volumes.Count()) - 1);
    shot("volume-selected");
    w.Next();
    shot("browse");
    if (w.Step() == WizardStep::Browse) {
        // A copy of everything, for its report, and the settings it follows.
        QTemporaryDir copyTo;
        w.chooseDestination = [&] { return copyTo.path() + "/all"; };
        w.RecoverAll();
        SettingsDialog settings(w.SessionState().settings, &w);
        settings.show();
        QCoreApplication::processEvents();
        const QString file = QString("%1/settings.png").arg(dir);
        settings.grab().save(file);
        std::printf("%s\n", qPrintable(file));
    }
    if (w.Step() == WizardStep::Browse && w.listModel->rowCount() > 0) {
        w.details->selectRow(0);
        w.treeHasFocus = false;
        w.OpenSelectedItem(false);
        shot("folder");
    }
    w.Back();
    shot("back-to-volumes");
    return w.Step() == WizardStep::SelectVolume ? 0 : 1;
}

} // namespace trevik::shell
