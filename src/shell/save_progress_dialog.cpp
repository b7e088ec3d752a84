#include "shell/save_progress_dialog.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace trevik::shell {

SaveProgressDialog::SaveProgressDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Saving the data please wait");
    setWindowFlags(windowFlags() & ~Qt::WindowCloseButtonHint);
    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel("Path"), 0, 0);
    path = new QLabel;
    grid->addWidget(path, 0, 1, 1, 2);
    grid->addWidget(new QLabel("File Name"), 1, 0);
    name = new QLabel;
    grid->addWidget(name, 1, 1, 1, 2);
    grid->addWidget(new QLabel("Total Files"), 2, 0);
    total = new QLabel;
    grid->addWidget(total, 2, 1, 1, 2);
    progress = new QProgressBar;
    progress->setRange(0, 100);
    grid->addWidget(progress, 3, 0, 1, 3);
    stopSaving = new QPushButton("&Stop Saving");
    skipFile = new QPushButton("S&kip File");
    stopSaving->setDefault(true);
    grid->addWidget(stopSaving, 4, 1);
    grid->addWidget(skipFile, 4, 2);
    connect(stopSaving, &QPushButton::clicked, this,
            [this] { control.stopSavingRequested = true; });
    connect(skipFile, &QPushButton::clicked, this, [this] { control.skipFileRequested = true; });
    resize(480, 200);
}

SaveProgressDialog::~SaveProgressDialog() {
    control.stopSavingRequested = true;
    if (worker_.joinable())
        worker_.join();
}

void SaveProgressDialog::closeEvent(QCloseEvent* e) {
    if (!done_) {
        e->ignore();
        return;
    }
    QDialog::closeEvent(e);
}

ExtractionSummary SaveProgressDialog::Run(
    std::function<ExtractionSummary(ExtractionControl&, ExtractionObserver&)> copy) {
    struct Poster final : ExtractionObserver {
        SaveProgressDialog* d;
        void Show(const ExtractionProgress& p) {
            d->bridge_.PostLatest("progress", [d = d, p] {
                d->path->setText(QString::fromStdString("/" + p.path));
                d->name->setText(QString::fromStdString(p.name));
                d->total->setText(QString::number(p.filesDone) + " of " +
                                  QString::number(p.filesTotal));
                const uint64_t pct =
                    p.bytesTotal == 0 ? (p.filesTotal == 0 ? 100 : p.filesDone * 100 / p.filesTotal)
                                      : p.bytesDone * 100 / p.bytesTotal;
                d->progress->setValue(static_cast<int>(std::min<uint64_t>(pct, 100)));
            });
        }
        void OnFileStarted(const ExtractionProgress& p) override { Show(p); }
        void OnProgress(const ExtractionProgress& p) override { Show(p); }
    };
    auto poster = std::make_shared<Poster>();
    poster->d = this;
    worker_ = std::thread([this, copy = std::move(copy), poster] {
        ExtractionSummary s = copy(control, *poster);
        // Every output file is closed by now.
        bridge_.Post([this, s] {
            summary_ = s;
            done_ = true;
            if (worker_.joinable())
                worker_.join();
            accept();
        });
    });
    exec();
    return summary_;
}

} // namespace trevik::shell
