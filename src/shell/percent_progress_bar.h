#pragma once

#include <QWidget>

namespace trevik::shell {

// A progress bar that paints its own bar and the percentage (or a custom text): on a light
// palette a dark blue bar with the text in the background colour over the bar and in the bar
// colour elsewhere; on a dark palette the palette's highlight colours in the same roles.
class PercentProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit PercentProgressBar(QWidget* parent = nullptr);

    // Returns the previous position. Repaints only when the filled width changes.
    int setValue(int position);
    int value() const { return position_; }
    void setRange(int minimum, int maximum);
    void setCustomText(const QString& text);
    int FilledWidth() const;
    QString Text() const;
    QSize sizeHint() const override { return {200, 20}; }
    // The colours it paints with, from its palette.
    QColor BarColor() const;
    QColor TextOverBar() const;
    QColor TextOverRest() const;

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override { lastFilledWidth_ = -1; }

private:
    int position_ = 0;
    int minimum_ = 0;
    int maximum_ = 100;
    int lastFilledWidth_ = -1;
    QString customText_;
};

} // namespace trevik::shell
