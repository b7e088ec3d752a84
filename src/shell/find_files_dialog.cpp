#include "shell/find_files_dialog.h"

#include "shell/tree_models.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace trevik::shell {

FindFilesDialog::FindFilesDialog(const RecoveredTree& tree, const FileListModel& types,
                                 MessageService& messages, QWidget* parent)
    : QDialog(parent), tree_(tree), types_(types), messages_(messages) {
    setWindowTitle("Find File(s)");
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
    grid->addWidget(results, 1, 0, 1, 4);
    grid->addWidget(new QLabel("Last File"), 2, 0);
    lastFile = new QLabel;
    grid->addWidget(lastFile, 2, 1);
    grid->addWidget(new QLabel("Files Found"), 2, 2);
    filesFound = new QLabel;
    grid->addWidget(filesFound, 2, 3);
    start = new QPushButton("&Start Search");
    stop = new QPushButton("S&top Search");
    start->setDefault(true);
    stop->setEnabled(false);
    grid->addWidget(start, 3, 2);
    grid->addWidget(stop, 3, 3);
    connect(start, &QPushButton::clicked, this, &FindFilesDialog::StartSearch);
    connect(edit, &QLineEdit::returnPressed, this, &FindFilesDialog::StartSearch);
    connect(stop, &QPushButton::clicked, this, &FindFilesDialog::StopSearch);
    resize(560, 420);
}

FindFilesDialog::~FindFilesDialog() {
    stopFlag_ = true;
    gate_.Resume();
    if (worker_.joinable())
        worker_.join();
}

void FindFilesDialog::StartSearch() {
    if (Searching() || !start->isEnabled())
        return;
    start->setEnabled(false);
    stop->setEnabled(true);
    results->clear();
    stopFlag_ = false;
    const std::string text = edit->text().toStdString();
    worker_ = std::thread([this, text] {
        struct Poster final : FindObserver {
            FindFilesDialog* d;
            void OnHit(const FindHit& h, size_t count) override {
                d->bridge_.Post([d = d, h, count] {
                    auto* item = new QTreeWidgetItem({QString::fromStdString(h.name),
                                                      QString::fromStdString(h.path),
                                                      QString::number(h.size)});
                    item->setIcon(0, d->types_.IconOf(QString::fromStdString(h.name)));
                    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
                    d->results->addTopLevelItem(item);
                    d->filesFound->setText(QString::number(count));
                    d->lastFile->setText(QString::fromStdString(h.name));
                });
            }
        } poster;
        poster.d = this;
        FindFiles(tree_, text, stopFlag_, &gate_, poster);
        bridge_.Post([this] { Finished(); });
    });
}

void FindFilesDialog::Finished() {
    if (worker_.joinable())
        worker_.join();
    stop->setEnabled(false);
    start->setEnabled(true);
}

void FindFilesDialog::StopSearch() {
    if (!Searching())
        return;
    stop->setEnabled(false);
    gate_.Pause();
    bridge_.SetHeld(true); // no row is added while the question is on screen
    const bool yes =
        messages_.AskYesNo(this, MessageKind::Question, "Do you want to stop file searching ?");
    bridge_.SetHeld(false);
    if (yes) {
        stopFlag_ = true;
        gate_.Resume();
        if (worker_.joinable())
            worker_.join();
        bridge_.Drain(); // the rows found so far stay
        start->setEnabled(true);
        stop->setEnabled(false);
    } else {
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
