#pragma once

#include "recovery/extraction.h"
#include "shell/background_job.h"

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace trevik::shell {

// "Saving the data please wait": runs the copy on a worker and closes itself when the
// worker has closed every file and ended. Its width is fixed: long paths are elided in the
// middle (the whole path in the tooltip), so the buttons stay where the user aims.
class SaveProgressDialog : public QDialog {
    Q_OBJECT
public:
    explicit SaveProgressDialog(QWidget* parent = nullptr);
    ~SaveProgressDialog() override;

    // Runs the copy modally; returns its summary.
    ExtractionSummary
    Run(std::function<ExtractionSummary(ExtractionControl&, ExtractionObserver&)> copy);

    void reject() override {} // no close box, no Cancel: only the worker's end closes it
    void closeEvent(QCloseEvent* e) override;

    // Shows the file being copied.
    void ShowProgress(const ExtractionProgress& p);

    QLabel* path = nullptr;
    QLabel* name = nullptr;
    QLabel* total = nullptr;
    QLabel* bytes = nullptr; // "1.5 MB of 12.0 MB"
    QProgressBar* progress = nullptr;
    QPushButton* stopSaving = nullptr;
    QPushButton* skipFile = nullptr;
    ExtractionControl control;

    static constexpr int kWidth = 520;

private:
    void SetElided(QLabel* label, const QString& text);

    BackgroundJob* job_ = nullptr;
    bool done_ = false;
    ExtractionSummary summary_;
};

} // namespace trevik::shell
