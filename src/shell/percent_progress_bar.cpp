#include "shell/percent_progress_bar.h"

#include <QPainter>

namespace trevik::shell {

namespace {
const QColor kBar(0, 0, 144);

bool DarkPalette(const QPalette& p) {
    return p.color(QPalette::Base).lightness() < 128;
}

} // namespace

QColor PercentProgressBar::BarColor() const {
    // The dark blue bar reads on a light window colour; on a dark one the palette's own
    // highlight takes its place.
    return DarkPalette(palette()) ? palette().color(QPalette::Highlight) : kBar;
}

QColor PercentProgressBar::TextOverBar() const {
    return DarkPalette(palette()) ? palette().color(QPalette::HighlightedText)
                                  : palette().color(QPalette::Base);
}

QColor PercentProgressBar::TextOverRest() const {
    return DarkPalette(palette()) ? palette().color(QPalette::Text) : kBar;
}

PercentProgressBar::PercentProgressBar(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(18);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

int PercentProgressBar::FilledWidth() const {
    if (minimum_ >= maximum_)
        return 0;
    return static_cast<int>(static_cast<double>(position_ - minimum_) / (maximum_ - minimum_) *
                            width());
}

QString PercentProgressBar::Text() const {
    if (!customText_.isEmpty())
        return customText_;
    if (minimum_ >= maximum_)
        return {};
    const double fraction = static_cast<double>(position_ - minimum_) / (maximum_ - minimum_);
    return QString::number(static_cast<int>(fraction * 100)) + "%";
}

int PercentProgressBar::setValue(int position) {
    const int previous = position_;
    position_ = position;
    const int filled = FilledWidth();
    if (filled != lastFilledWidth_) {
        lastFilledWidth_ = filled;
        update();
    }
    return previous;
}

void PercentProgressBar::setRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = maximum;
    lastFilledWidth_ = -1;
    update();
}

void PercentProgressBar::setCustomText(const QString& text) {
    if (text != customText_) {
        customText_ = text;
        update();
    }
}

void PercentProgressBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QColor background = palette().color(QPalette::Base);
    if (minimum_ >= maximum_) {
        p.fillRect(rect(), background);
        return;
    }
    const int filled = FilledWidth();
    const QRect bar(0, 0, filled, height());
    const QRect rest(filled, 0, width() - filled, height());
    p.fillRect(bar, BarColor());
    p.fillRect(rest, background);
    const QString text = Text();
    p.setClipRect(bar);
    p.setPen(TextOverBar());
    p.drawText(rect(), Qt::AlignCenter, text);
    p.setClipRect(rest);
    p.setPen(TextOverRest());
    p.drawText(rect(), Qt::AlignCenter, text);
}

} // namespace trevik::shell
