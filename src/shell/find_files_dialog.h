#pragma once

#include "recovery/find_files.h"
#include "shell/background_job.h"
#include "shell/message_service.h"

#include <QDialog>
#include <mutex>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace trevik::shell {

class FileListModel;

// "Find File(s)": searches every recovered file name on a worker. Stop pauses the worker
// while it asks, and stops it cooperatively on Yes; a double click on a hit shows it.
class FindFilesDialog : public QDialog {
    Q_OBJECT
public:
    FindFilesDialog(const RecoveredTree& tree, const FileListModel& types, MessageService& messages,
                    QWidget* parent = nullptr);
    ~FindFilesDialog() override;

    // While the worker runs, and until every hit it found is on screen.
    bool Searching() const { return job_->Running() || ending_; }
    void StartSearch();
    void StopSearch();
    void reject() override; // Escape and the close box: only while idle

    QLineEdit* edit = nullptr;
    QTreeWidget* results = nullptr;
    QLabel* lastFile = nullptr;
    QLabel* filesFound = nullptr;
    QPushButton* start = nullptr;
    QPushButton* stop = nullptr;

    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    // A hit was double-clicked or Enter pressed on it: the index of its file in the
    // recovered tree.
    void HitActivated(uint32_t fileIndex);

private:
    struct Hit {
        FindHit hit;
        size_t count;
    };
    // Shows at most `most` of the hits found so far; the rest follow at the next turn of
    // the event loop, so that a flood of hits never holds the window up.
    void ShowPending(size_t most = kHitsPerRefresh);
    void Finished();
    void EndSearch();

    static constexpr size_t kHitsPerRefresh = 8192;

    const RecoveredTree& tree_;
    const FileListModel& types_;
    MessageService& messages_;
    BackgroundJob* job_ = nullptr;
    PauseGate gate_;
    std::mutex pendingMutex_;
    std::vector<Hit> pending_; // found, not yet taken by the window
    // On the window's thread: taken, not yet shown (from `queuedAt_` on).
    std::vector<Hit> queued_;
    size_t queuedAt_ = 0;
    bool drainPosted_ = false;
    bool ending_ = false; // the worker is done; the last hits are still being shown
};

} // namespace trevik::shell
