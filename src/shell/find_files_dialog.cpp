#include "shell/find_files_dialog.h"

#include "shell/tree_models.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

namespace trevik::shell {

FindFilesDialog::FindFilesDialog(const RecoveredTree& tree, const FileListModel& types,
                                 MessageService& messages, QWidget* parent)
    : QDialog(parent), tree_(tree), types_(types), messages_(messages) {
    setWindowTitle("Find File(s)");
    job_ = new BackgroundJob(this);
    connect(job_, &BackgroundJob::Finished, this, &FindFilesDialog::Finished);
    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel("Enter string to search"), 0, 0);
    edit = new QLineEdit;
    grid->addWidget(edit, 0, 1, 1, 3);
    results = new QTreeWidget;
    results->setColumnCount(3);
    results->setHeaderLabels({"File Name", "Path", "Size"});
    results->setRootIsDecorated(false);
    results->setUniformRowHeights(true);
    results->header()->resizeSection(0, 150);
    results->header()->resizeSection(1, 250);
    results->header()->resizeSection(2, 95);
    results->setToolTip("Double-click a file to show it in the main window");
    grid->addWidget(results, 1, 0, 1, 4);
    grid->addWidget(new QLabel("Last File"), 2, 0);
    lastFile = new QLabel;
    grid->addWidget(lastFile, 2, 1);
    grid->addWidget(new QLabel("Files Found"), 2, 2);
    filesFound = new QLabel;
    grid->addWidget(filesFound, 2, 3);
    start = new QPushButton("&Start Search");
    stop = new QPushButton("S&top Search");
    start->setDefault(true); // Enter in the field starts the search, once
    stop->setEnabled(false);
    grid->addWidget(start, 3, 2);
    grid->addWidget(stop, 3, 3);
    connect(start, &QPushButton::clicked, this, &FindFilesDialog::StartSearch);
    connect(stop, &QPushButton::clicked, this, &FindFilesDialog::StopSearch);
    connect(results, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        emit HitActivated(item->data(0, Qt::UserRole).toUInt());
    });
    // Enter on a hit opens it (it would otherwise reach Start Search, the default button).
    results->installEventFilter(this);
    resize(560, 420);
}

bool FindFilesDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == results && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && results->currentItem() != nullptr) {
            emit HitActivated(results->currentItem()->data(0, Qt::UserRole).toUInt());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

FindFilesDialog::~FindFilesDialog() {
    gate_.Resume();
    job_->Cancel();
}

void FindFilesDialog::StartSearch() {
    if (Searching() || !start->isEnabled())
        return;
    start->setEnabled(false);
    stop->setEnabled(true);
    results->clear();
    filesFound->clear();
    lastFile->clear();
    const std::string text = edit->text().toStdString();
    job_->Start([this, text] {
        // Hits wait in a list; one update per refresh shows all of them.
        struct Collector final : FindObserver {
            FindFilesDialog* d;
            void OnHit(const FindHit& h, size_t count) override {
                std::lock_guard lock(d->pendingMutex_);
                d->pending_.push_back({h, count});
                d->job_->PostLatest("hits", [d = d] { d->ShowPending(); });
            }
        } collector;
        collector.d = this;
        FindFiles(tree_, text, job_->StopFlag(), &gate_, collector);
    });
}

void FindFilesDialog::ShowPending(size_t most) {
    {
        std::lock_guard lock(pendingMutex_);
        if (queuedAt_ == queued_.size()) {
            queued_.clear();
            queuedAt_ = 0;
        }
        queued_.insert(queued_.end(), std::make_move_iterator(pending_.begin()),
                       std::make_move_iterator(pending_.end()));
        pending_.clear();
    }
    const size_t end = queuedAt_ + std::min(most, queued_.size() - queuedAt_);
    if (end != queuedAt_) {
        QList<QTreeWidgetItem*> items;
        items.reserve(static_cast<qsizetype>(end - queuedAt_));
        for (size_t k = queuedAt_; k < end; ++k) {
            const FindHit& h = queued_[k].hit;
            const uint32_t parent = tree_.Files()[h.fileIndex].parentInode;
            // The name as the disk has it: on a case-sensitive volume README.TXT and
            // Readme.txt are two files (the match itself ignores case).
            const QString name = QString::fromStdString(DisplayName(tree_.FileName(h.fileIndex)));
            const QString path = QString::fromStdString(FolderItemPath(tree_, parent));
            auto* item = new QTreeWidgetItem({name, path, QString::number(h.size)});
            item->setToolTip(0, name);
            item->setToolTip(1, path);
            item->setData(0, Qt::UserRole, h.fileIndex);
            item->setIcon(0, types_.IconOf(name));
            item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
            items << item;
        }
        results->addTopLevelItems(items);
        const Hit& lastShown = queued_[end - 1];
        filesFound->setText(QString::number(lastShown.count));
        lastFile->setText(
            QString::fromStdString(DisplayName(tree_.FileName(lastShown.hit.fileIndex))));
        queuedAt_ = end;
    }
    if (queuedAt_ < queued_.size()) {
        if (!drainPosted_) {
            drainPosted_ = true;
            QTimer::singleShot(0, this, [this] {
                drainPosted_ = false;
                ShowPending();
            });
        }
    } else if (ending_) {
        EndSearch();
    }
}

void FindFilesDialog::Finished() {
    ending_ = true;
    ShowPending();
}

void FindFilesDialog::EndSearch() {
    ending_ = false;
    // A search that found nothing says so.
    if (results->topLevelItemCount() == 0)
        filesFound->setText("0");
    stop->setEnabled(false);
    start->setEnabled(true);
}

void FindFilesDialog::StopSearch() {
    if (!Searching())
        return;
    stop->setEnabled(false);
    // The worker halts at its next file; what it found by then is on screen before the
    // question, so the count the user decides on is what stays (with at most the file it
    // was matching as the question came).
    gate_.Pause();
    job_->Hold(true);
    ShowPending(SIZE_MAX);
    const bool yes =
        messages_.AskYesNo(this, MessageKind::Question, "Do you want to stop file searching ?");
    if (yes) {
        job_->RequestStop();
        gate_.Resume();
        job_->Wait(); // Finished shows the hits found before the stop
    } else {
        job_->Hold(false);
        stop->setEnabled(true);
        gate_.Resume();
    }
}

void FindFilesDialog::reject() {
    if (Searching())
        return;
    QDialog::reject();
}

} // namespace trevik::shell
