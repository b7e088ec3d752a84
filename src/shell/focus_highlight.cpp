#include "shell/focus_highlight.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QPalette>

namespace trevik::shell {
namespace {

QColor Mixed(const QColor& a, const QColor& b, double part) {
    return QColor::fromRgbF(static_cast<float>(a.redF() * part + b.redF() * (1 - part)),
                            static_cast<float>(a.greenF() * part + b.greenF() * (1 - part)),
                            static_cast<float>(a.blueF() * part + b.blueF() * (1 - part)));
}

class FocusWatcher final : public QObject {
public:
    FocusWatcher(QAbstractItemView* view) : QObject(view), view_(view) { Apply(view->hasFocus()); }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::FocusIn)
            Apply(true);
        else if (event->type() == QEvent::FocusOut &&
                 static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
            Apply(false);
        return false;
    }

private:
    void Apply(bool focused) {
        QPalette p = view_->palette();
        const QPalette app = QApplication::palette(view_);
        if (focused) {
            for (auto group : {QPalette::Active, QPalette::Inactive}) {
                p.setColor(group, QPalette::Highlight, app.color(group, QPalette::Highlight));
                p.setColor(group, QPalette::HighlightedText,
                           app.color(group, QPalette::HighlightedText));
            }
        } else {
            QColor muted = app.color(QPalette::Inactive, QPalette::Highlight);
            if (muted == app.color(QPalette::Active, QPalette::Highlight))
                muted = Mixed(muted, app.color(QPalette::Active, QPalette::Base), 0.35);
            for (auto group : {QPalette::Active, QPalette::Inactive}) {
                p.setColor(group, QPalette::Highlight, muted);
                p.setColor(group, QPalette::HighlightedText, app.color(group, QPalette::Text));
            }
        }
        view_->setPalette(p);
    }

    QAbstractItemView* view_;
};

} // namespace

void MarkSelectionByFocus(QAbstractItemView* view) {
    view->installEventFilter(new FocusWatcher(view));
}

} // namespace trevik::shell
