#include "shell/screenshots.h"

#include "shell/dialogs.h"
#include "shell/find_files_dialog.h"
#include "shell/main_dialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QTableView>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>

namespace trevik::shell {
namespace {

void Save(QWidget& w, const QString& file) {
    w.grab().save(file);
    std::printf("%s\n", qPrintable(file));
}

class AnswerYes final : public MessageService {
public:
    explicit AnswerYes(QString dir) : dir_(std::move(dir)) {}
    void ShowMessage(QWidget*, MessageKind, const QString& text) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    bool AskYesNo(QWidget*, MessageKind, const QString&) override { return true; }
    // Reports are drawn to a picture of their own: the mount's, then the copy's.
    void ShowReport(QWidget* parent, const QString& summary, const QStringList& details,
                    const ReportActions& actions) override {
        ReportDialog dialog(parent, summary, details, actions);
        dialog.show();
        QCoreApplication::processEvents();
        Save(dialog, QString("%1/report-%2.png").arg(dir_, ++reports_ == 1 ? "mount" : "copy"));
    }

private:
    QString dir_;
    int reports_ = 0;
};

class NoDesktop final : public DesktopService {
public:
    bool OpenUrl(const QUrl&) override { return true; }
    bool OpenFile(const QString&) override { return true; }
    void OpenWith(const QString&, const QString&) override {}
};

void Settle(MainDialog& w) {
    QElapsedTimer t;
    t.start();
    while ((w.WorkerRunning() || t.elapsed() < 200) && t.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

template <class Dialog> void Shoot(Dialog& dialog, const QString& file) {
    dialog.show();
    QCoreApplication::processEvents();
    Save(dialog, file);
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
    // Only the images: the pictures do not depend on the machine's disks.
    MainDialog w(messages, desktop, images, nullptr, false);
    w.chooseMode = [] { return std::optional<RecoveryMode>(RecoveryMode::Normal); };
    w.resize(1000, 700);
    w.show();
    auto shot = [&](const char* name) {
        Settle(w);
        Save(w, QString("%1/%2.png").arg(dir, name));
    };
    shot("start");
    w.SelectDisk(0);
    shot("disk-selected");
    w.ChooseSearchPartition();
    shot("search-partition");
    w.ChooseUsePartitionTable();
    {
        ModeDialog mode(&w);
        Shoot(mode, dir + "/mode.png");
    }
    w.Next();
    shot("volumes");
    w.SelectVolume(0);
    shot("volume-selected");
    w.Next();
    shot("browse");
    if (w.Step() == WizardStep::Browse) {
        {
            FiltersDialog filters(w.SessionState().filters, messages, &w);
            filters.edit->setText("*.txt");
            Shoot(filters, dir + "/filters.png");
            filters.reject();
        }
        {
            FindFilesDialog find(w.Mounted()->tree, *w.Browser().ListModel(), messages, &w);
            find.edit->setText("*");
            find.StartSearch();
            QElapsedTimer t;
            t.start();
            while (find.Searching() && t.elapsed() < 30000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            Shoot(find, dir + "/find.png");
        }
        // A copy of everything, for its report, and the settings it follows.
        QTemporaryDir copyTo;
        w.chooseDestination = [&] { return copyTo.path() + "/all"; };
        w.RecoverAll();
        SettingsDialog settings(w.SessionState().settings, &w);
        Shoot(settings, dir + "/settings.png");
    }
    if (w.Step() == WizardStep::Browse && w.Browser().ListModel()->rowCount() > 0) {
        w.Browser().DetailsView()->selectRow(0);
        w.Browser().OpenSelectedItem(false);
        shot("folder");
    }
    w.Back();
    shot("back-to-volumes");
    return w.Step() == WizardStep::SelectVolume ? 0 : 1;
}

} // namespace trevik::shell
