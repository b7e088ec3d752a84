#include "shell/message_service.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QMessageBox>
#include <QProcess>

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
    return box.exec() == QMessageBox::Yes;
}

void SystemDesktopService::OpenUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

void SystemDesktopService::OpenWith(const QString& program, const QString& file) {
    QProcess::startDetached(program, {file});
}

} // namespace trevik::shell
