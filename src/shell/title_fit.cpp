#include "shell/title_fit.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTimer>

namespace trevik::shell {
namespace {

class TitleFitter final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show)
            return false;
        auto* dialog = qobject_cast<QDialog*>(watched);
        if (dialog == nullptr || !dialog->isWindow() || qobject_cast<QMessageBox*>(dialog))
            return false;
        // After the dialog has sized itself (a message box fixes its size as it is shown).
        QTimer::singleShot(0, dialog, [d = QPointer<QDialog>(dialog)] {
            if (d == nullptr)
                return;
            const QScreen* screen = d->screen();
            const int room = screen != nullptr ? screen->availableGeometry().width() - 40 : 1200;
            const int want = std::min(TitleWidth(d), room);
            if (d->width() >= want)
                return;
            d->setMinimumWidth(want);
            if (d->maximumWidth() < want)
                d->setMaximumWidth(want);
            d->resize(want, d->height());
            // Still centred on the window it belongs to.
            if (const QWidget* p = d->parentWidget(); p != nullptr)
                d->move(p->window()->geometry().center() - d->rect().center());
        });
        return false;
    }
};

} // namespace

int TitleWidth(const QWidget* dialog) {
    QString title = dialog->windowTitle();
    const QString program = QGuiApplication::applicationDisplayName();
    if (!program.isEmpty() && !title.contains(program))
        title += QStringLiteral(" \u2014 ") + program;
    QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    font.setBold(true);
    // The icon and the window buttons take about four line heights.
    const QFontMetrics m(font);
    return m.horizontalAdvance(title) + 4 * m.height() + 16;
}

QObject* FitDialogTitles(QApplication& app) {
    auto* fitter = new TitleFitter(&app);
    app.installEventFilter(fitter);
    return fitter;
}

} // namespace trevik::shell
