#pragma once

#include "shell/wizard_controller.h"

#include <QString>
#include <QWidget>

class QLabel;

namespace trevik::shell {

// The five label/value rows and the status line above the list: a layout per wizard
// situation, and a setter for each value the window or a worker writes.
class StatusPanel : public QWidget {
    Q_OBJECT
public:
    explicit StatusPanel(QWidget* parent = nullptr);

    // Lays the rows out afresh: labels of `layout`, values blank (the scan's start values
    // shown), the status line hidden unless the layout has one.
    void ShowLayout(PanelLayout layout, uint64_t scanEndSector = 0);

    void SetDisk(const QString& model, const QString& capacity, uint32_t cylinders, uint32_t heads,
                 uint32_t sectorsPerTrack);
    void SetVolume(const QString& type, const QString& name, uint64_t start, const QString& size);
    void SetVolumesFound(size_t count);
    void SetScanSector(uint64_t sector);
    void SetFoldersFound(uint64_t count);
    void SetFilesFound(uint64_t count);
    void SetMountSector(uint64_t sector);
    void SetLastName(const QString& name);
    // Empty hides the line.
    void SetStatusLine(const QString& text);

    PanelLayout Layout() const { return layout_; }
    QString Label(int row) const;
    QString Value(int row) const;
    bool RowShown(int row) const;
    QString StatusLine() const;
    bool StatusLineShown() const;

    static constexpr int kRows = 5;

private:
    void SetValue(int row, const QString& text);

    QLabel* labels_[kRows] = {};
    QLabel* values_[kRows] = {};
    QLabel* status_ = nullptr;
    PanelLayout layout_ = PanelLayout::DiskInfo;
};

} // namespace trevik::shell
