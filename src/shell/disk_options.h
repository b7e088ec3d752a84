#pragma once

#include "shell/wizard_controller.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QWidget>
#include <optional>

namespace trevik::shell {

// The disk step's choices: how volumes are identified, and the sector range a search scans.
class DiskOptions : public QWidget {
    Q_OBJECT
public:
    explicit DiskOptions(QWidget* parent = nullptr);

    void SetIdentifyShown(bool shown);
    void SetRangeShown(bool shown);
    // "0" and `end` in the range fields.
    void SetDefaultRange(uint64_t end);

    struct Range {
        uint64_t start = 0;
        uint64_t end = 0;
        bool startValid = false;
        const char* refusal = nullptr; // the message when the fields are refused
    };
    // The fields read as the scan takes them; `start` is kept even when `end` is refused.
    Range ReadRange() const;

    QRadioButton* UsePartitionTable() const { return usePartitionTable_; }
    QRadioButton* SearchPartition() const { return searchPartition_; }
    QLineEdit* StartSector() const { return startSector_; }
    QLineEdit* EndSector() const { return endSector_; }

signals:
    void OptionChosen(VolumeIdentifyOption option);

private:
    // Made with the object and given to it by its layouts, which own them from then on.
    QGroupBox* const identifyBox_ = new QGroupBox("Volume Identify Options");
    QRadioButton* const usePartitionTable_ = new QRadioButton("Use Partition Table");
    QRadioButton* const searchPartition_ = new QRadioButton("Search Partition");
    QGroupBox* const rangeBox_ = new QGroupBox("Select Range");
    QLineEdit* const startSector_ = new QLineEdit;
    QLineEdit* const endSector_ = new QLineEdit;
};

} // namespace trevik::shell
