#include "shell/disk_options.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>

namespace trevik::shell {
namespace {

std::optional<uint64_t> ParseField(const QString& text) {
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok);
    if (!ok || text.isEmpty() || text.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return static_cast<uint64_t>(v);
}

QToolButton* HelpButton(const QString& tip) {
    auto* b = new QToolButton;
    b->setText("?");
    b->setToolTip(tip);
    return b;
}

} // namespace

DiskOptions::DiskOptions(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* idLayout = new QHBoxLayout(identifyBox_);
    usePartitionTable_->setChecked(true);
    idLayout->addWidget(usePartitionTable_);
    idLayout->addWidget(searchPartition_);
    idLayout->addWidget(HelpButton(
        "<b>Volume Identify Options</b><br><b>Use Partition Table</b><br>This is fast "
        "mode for recovering data.<br>Select this if your volume table is intact.<br>"
        "<b>Search Partition</b><br>This is deep and more efficient method<br>for "
        "recovering data , select this if<br>Partition Table is deleted or volume is missing."));
    idLayout->addStretch();
    layout->addWidget(identifyBox_);

    auto* rangeLayout = new QHBoxLayout(rangeBox_);
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
    startSector_->setValidator(digits);
    endSector_->setValidator(digits);
    rangeLayout->addWidget(new QLabel("Start Sector"));
    rangeLayout->addWidget(startSector_);
    rangeLayout->addWidget(new QLabel("End Sector"));
    rangeLayout->addWidget(endSector_);
    rangeLayout->addWidget(
        HelpButton("<b>Scan Control</b><br>Here select the disk area to scan. Don't change "
                   "<br>if you want to scan the whole disk."));
    layout->addWidget(rangeBox_);
    rangeBox_->hide();

    connect(usePartitionTable_, &QRadioButton::clicked, this,
            [this] { emit OptionChosen(VolumeIdentifyOption::UsePartitionTable); });
    connect(searchPartition_, &QRadioButton::clicked, this,
            [this] { emit OptionChosen(VolumeIdentifyOption::SearchPartition); });
}

void DiskOptions::SetIdentifyShown(bool shown) {
    identifyBox_->setVisible(shown);
}

void DiskOptions::SetRangeShown(bool shown) {
    rangeBox_->setVisible(shown);
}

void DiskOptions::SetDefaultRange(uint64_t end) {
    startSector_->setText("0");
    endSector_->setText(QString::number(end));
}

DiskOptions::Range DiskOptions::ReadRange() const {
    Range r;
    const auto s = ParseField(startSector_->text());
    if (!s) {
        r.refusal = "      Start sector value is not valid, It should be a positive number";
        return r;
    }
    r.start = *s;
    r.startValid = true;
    const auto e = ParseField(endSector_->text());
    if (!e) {
        r.refusal = "      End sector value is not valid, It should be a positive number";
        return r;
    }
    r.end = *e;
    if (r.end <= r.start)
        r.refusal = "      End sector should be bigger than start sector";
    return r;
}

} // namespace trevik::shell
