#pragma once

#include "recovery/find_files.h"
#include "shell/message_service.h"
#include "shell/worker_bridge.h"

#include <QDialog>
#include <atomic>
#include <thread>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace trevik::shell {

class FileListModel;

// "Find File(s)": searches every recovered file name on a worker. Stop pauses the worker
// while it asks, and stops it cooperatively on Yes.
class FindFilesDialog : public QDialog {
    Q_OBJECT
public:
    FindFilesDialog(const RecoveredTree& tree, const FileListModel& types, MessageService& messages,
                    QWidget* parent = nullptr);
    ~FindFilesDialog() override;

    bool Searching() const { return worker_.joinable(); }
    void StartSearch();
    void StopSearch();
    void reject() override; // Escape and the close box: only while idle

    QLineEdit* edit = nullptr;
    QTreeWidget* results = nullptr;
    QLabel* lastFile = nullptr;
    QLabel* filesFound = nullptr;
    QPushButton* start = nullptr;
    QPushButton* stop = nullptr;

private:
    void Finished();
    const RecoveredTree& tree_;
    const FileListModel& types_;
    MessageService& messages_;
    WorkerBridge bridge_;
    std::thread worker_;
    std::atomic<bool> stopFlag_{false};
    PauseGate gate_;
};

} // namespace trevik::shell
