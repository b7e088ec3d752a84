#pragma once

#include "recovery/extraction.h"
#include "shell/worker_bridge.h"

#include <QDialog>
#include <thread>

class QLabel;
class QProgressBar;
class QPushButton;

namespace trevik::shell {

// "Saving the data please wait": runs the copy on a worker and closes itself when the
// worker has closed every file and ended.
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

    QLabel* path = nullptr;
    QLabel* name = nullptr;
    QLabel* total = nullptr;
    QProgressBar* progress = nullptr;
    QPushButton* stopSaving = nullptr;
    QPushButton* skipFile = nullptr;
    ExtractionControl control;

private:
    WorkerBridge bridge_;
    std::thread worker_;
    bool done_ = false;
    ExtractionSummary summary_;
};

} // namespace trevik::shell
