#include "shell/status_panel.h"

#include <QGridLayout>
#include <QLabel>
#include <initializer_list>

namespace trevik::shell {

StatusPanel::StatusPanel(QWidget* parent) : QWidget(parent) {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    for (int r = 0; r < kRows; ++r) {
        labels_[r] = new QLabel;
        values_[r] = new QLabel;
        values_[r]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(labels_[r], r, 0);
        grid->addWidget(values_[r], r, 1);
    }
    grid->setColumnStretch(1, 1);
    status_ = new QLabel;
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(status_, kRows, 0, 1, 2);
    ShowLayout(PanelLayout::DiskInfo);
}

void StatusPanel::ShowLayout(PanelLayout layout, uint64_t scanEndSector) {
    layout_ = layout;
    auto rows = [this](std::initializer_list<const char*> texts) {
        int r = 0;
        for (const char* t : texts) {
            labels_[r]->setText(t);
            values_[r]->clear();
            labels_[r]->show();
            values_[r]->show();
            ++r;
        }
        for (; r < kRows; ++r) {
            labels_[r]->clear();
            values_[r]->clear();
            labels_[r]->hide();
            values_[r]->hide();
        }
    };
    SetStatusLine({});
    switch (layout) {
    case PanelLayout::HideAll:
        rows({});
        break;
    case PanelLayout::DiskInfo:
        rows({"Model                  ", "Capacity              ", "Cylinders              ",
              "Head                   ", "Sectors Per Track "});
        break;
    case PanelLayout::ScanProgress:
        rows({"Partition(s) Found  ", "Current Sector", "End Sector     "});
        values_[0]->setText("0");
        values_[1]->setText("0");
        values_[2]->setText(QString::number(scanEndSector));
        SetStatusLine("Searching for Pools. This may take long time. Pleae wait");
        break;
    case PanelLayout::MountProgress:
        rows({"Folder(s) Found    ", "File(s) Found      ", "Current Sector       ",
              "Last File/Folder       "});
        SetStatusLine("Mounting volume, please wait...");
        break;
    case PanelLayout::VolumeInfo:
    case PanelLayout::VolumeInfoWithHelp:
        rows({"Volume Type  ", "Volume Name    ", "Volume Start      ", "Volume Size     "});
        break;
    }
}

void StatusPanel::SetValue(int row, const QString& text) {
    values_[row]->setText(text);
}

void StatusPanel::SetDisk(const QString& model, const QString& capacity, uint32_t cylinders,
                          uint32_t heads, uint32_t sectorsPerTrack) {
    SetValue(0, model);
    SetValue(1, capacity);
    SetValue(2, QString::number(cylinders));
    SetValue(3, QString::number(heads));
    SetValue(4, QString::number(sectorsPerTrack));
}

void StatusPanel::SetVolume(const QString& type, const QString& name, uint64_t start,
                            const QString& size) {
    SetValue(0, type);
    SetValue(1, name);
    SetValue(2, QString::number(start));
    SetValue(3, size);
}

void StatusPanel::SetVolumesFound(size_t count) {
    SetValue(0, QString::number(count));
}

void StatusPanel::SetScanSector(uint64_t sector) {
    SetValue(1, QString::number(sector));
}

void StatusPanel::SetFoldersFound(uint64_t count) {
    SetValue(0, QString::number(count));
}

void StatusPanel::SetFilesFound(uint64_t count) {
    SetValue(1, QString::number(count));
}

void StatusPanel::SetMountSector(uint64_t sector) {
    SetValue(2, QString::number(sector));
}

void StatusPanel::SetLastName(const QString& name) {
    SetValue(3, name);
}

void StatusPanel::SetStatusLine(const QString& text) {
    status_->setText(text);
    status_->setVisible(!text.isEmpty());
}

QString StatusPanel::Label(int row) const {
    return labels_[row]->text();
}

QString StatusPanel::Value(int row) const {
    return values_[row]->text();
}

bool StatusPanel::RowShown(int row) const {
    return !labels_[row]->isHidden();
}

QString StatusPanel::StatusLine() const {
    return status_->text();
}

bool StatusPanel::StatusLineShown() const {
    return !status_->isHidden();
}

} // namespace trevik::shell
