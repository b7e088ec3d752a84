#include "shell/message_service.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace trevik::shell {
namespace {

QMessageBox::Icon IconOf(MessageKind kind) {
    switch (kind) {
    case MessageKind::Information:
        return QMessageBox::Information;
    case MessageKind::Error:
        return QMessageBox::Critical;
    case MessageKind::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

// Texts are stored with \r\n line breaks; the box wants plain ones.
QString Plain(const QString& text) {
    return QString(text).replace("\r\n", "\n");
}

} // namespace

void BoxMessageService::ShowMessage(QWidget* parent, MessageKind kind, const QString& text) {
    QMessageBox box(IconOf(kind), kCaption, Plain(text), QMessageBox::Ok, parent);
    box.button(QMessageBox::Ok)->setText("&Ok");
    box.exec();
}

bool BoxMessageService::AskYesNo(QWidget* parent, MessageKind kind, const QString& text) {
    QMessageBox box(IconOf(kind), kCaption, Plain(text), QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.button(QMessageBox::Yes)->setText("&Yes");
    box.button(QMessageBox::No)->setText("&No");
    QDialog* outer = question_;
    question_ = &box;
    const bool yes = box.exec() == QMessageBox::Yes;
    question_ = outer;
    return yes;
}

void BoxMessageService::CloseQuestion() {
    if (question_ != nullptr)
        question_->done(QMessageBox::No);
}

ReportDialog::ReportDialog(QWidget* parent, const QString& summary, const QStringList& details,
                           const MessageService::ReportActions& actions)
    : QDialog(parent) {
    setWindowTitle(kCaption);
    setMinimumWidth(420);
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(summary, this);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    if (!details.isEmpty()) {
        // A list the user can select and copy from, however long it is.
        auto* list = new QPlainTextEdit(details.join('\n'), this);
        list->setReadOnly(true);
        list->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        list->setMinimumSize(560, 220);
        layout->addWidget(list);
        auto* copy = buttons->addButton("&Copy List", QDialogButtonBox::ActionRole);
        connect(copy, &QPushButton::clicked,
                [list] { QGuiApplication::clipboard()->setText(list->toPlainText()); });
    }
    if (const MessageService::SaveReport& saveReport = actions.save) {
        // The examiner's record of the copy: every item, where its bytes lay, its hash.
        auto* save = buttons->addButton("&Save Report...", QDialogButtonBox::ActionRole);
        save->setToolTip("Writes a DFXML report of this copy: every item, where its bytes lie "
                         "on the disk, and the SHA-256 of what was written");
        const QString folder =
            actions.destination.isEmpty() ? QDir::homePath() : actions.destination;
        connect(save, &QPushButton::clicked, this, [this, saveReport, folder] {
            const QString path =
                chooseReportFile
                    ? chooseReportFile()
                    : QFileDialog::getSaveFileName(this, "Save Report", folder + "/report.xml",
                                                   "DFXML reports (*.xml);;All files (*)");
            if (path.isEmpty())
                return;
            const QString error = saveReport(path);
            if (!error.isEmpty())
                QMessageBox::critical(this, kCaption, error);
        });
    }
    if (actions.openDestination) {
        auto* open = buttons->addButton("&Open Destination Folder", QDialogButtonBox::ActionRole);
        open->setToolTip(actions.destination);
        connect(open, &QPushButton::clicked, this, actions.openDestination);
    }
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

void BoxMessageService::ShowReport(QWidget* parent, const QString& summary,
                                   const QStringList& details, const ReportActions& actions) {
    ReportDialog dialog(parent, summary, details, actions);
    dialog.exec();
}

namespace {
QString AskXdgMime(const QStringList& arguments);
} // namespace

bool SystemDesktopService::OpenUrl(const QUrl& url) {
    // The desktop's opener says nothing visible when no browser is set: asked first.
    if (!QStandardPaths::findExecutable("xdg-mime").isEmpty()) {
        const QString type =
            url.isLocalFile() ? QString("text/html") : "x-scheme-handler/" + url.scheme();
        if (AskXdgMime({"query", "default", type}).isEmpty())
            return false;
    }
    return QDesktopServices::openUrl(url);
}

namespace {

// What xdg-mime answers, trimmed; empty when it cannot be asked.
QString AskXdgMime(const QStringList& arguments) {
    QProcess p;
    p.start("xdg-mime", arguments);
    if (!p.waitForFinished(5000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

} // namespace

bool SystemDesktopService::OpenFile(const QString& file) {
    // Asked first: the desktop's opener fails in a terminal nobody sees when no program
    // is set for the type.
    if (!QStandardPaths::findExecutable("xdg-mime").isEmpty()) {
        const QString type = AskXdgMime({"query", "filetype", file});
        if (type.isEmpty() || AskXdgMime({"query", "default", type}).isEmpty())
            return false;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}

void SystemDesktopService::OpenWith(const QString& program, const QString& file) {
    QProcess::startDetached(program, {file});
}

} // namespace trevik::shell
