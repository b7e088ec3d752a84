#include "shell/save_progress_dialog.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

namespace trevik::shell {

SaveProgressDialog::SaveProgressDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Saving the data please wait");
    setWindowFlags(windowFlags() & ~Qt::WindowCloseButtonHint);
    job_ = new BackgroundJob(this);
    auto* grid = new QGridLayout(this);
    const std::pair<const char*, QLabel**> rows[] = {
        {"Path", &path}, {"File Name", &name}, {"Total Files", &total}, {"Copied", &bytes}};
    for (int r = 0; r < 4; ++r) {
        grid->addWidget(new QLabel(rows[r].first), r, 0);
        *rows[r].second = new QLabel;
        grid->addWidget(*rows[r].second, r, 1, 1, 2);
    }
    // The labels never ask for more room than the dialog has.
    for (QLabel* l : {path, name, total, bytes}) {
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        l->setMinimumWidth(0);
    }
    progress = new QProgressBar;
    progress->setRange(0, 100);
    grid->addWidget(progress, 4, 0, 1, 3);
    stopSaving = new QPushButton("&Stop Saving");
    skipFile = new QPushButton("S&kip File");
    stopSaving->setDefault(true);
    // The two buttons side by side at the right, of one size.
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(stopSaving);
    buttons->addWidget(skipFile);
    const int width = std::max(stopSaving->sizeHint().width(), skipFile->sizeHint().width());
    stopSaving->setMinimumWidth(width);
    skipFile->setMinimumWidth(width);
    grid->addLayout(buttons, 5, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    connect(stopSaving, &QPushButton::clicked, this,
            [this] { control.stopSavingRequested = true; });
    connect(skipFile, &QPushButton::clicked, this, [this] { control.skipFileRequested = true; });
    connect(job_, &BackgroundJob::Finished, this, [this] {
        done_ = true;
        accept();
    });
    setFixedWidth(kWidth);
}

SaveProgressDialog::~SaveProgressDialog() {
    control.stopSavingRequested = true;
    job_->Cancel();
}

void SaveProgressDialog::closeEvent(QCloseEvent* e) {
    if (!done_) {
        e->ignore();
        return;
    }
    QDialog::closeEvent(e);
}

void SaveProgressDialog::SetElided(QLabel* label, const QString& text) {
    const int room = std::max(40, label->width() > 0 ? label->width() : kWidth - 120);
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideMiddle, room));
    label->setToolTip(text);
}

void SaveProgressDialog::ShowProgress(const ExtractionProgress& p) {
    SetElided(path, QString::fromStdString("/" + p.path));
    SetElided(name, QString::fromStdString(p.name));
    total->setText(QString::number(p.filesDone) + " of " + QString::number(p.filesTotal));
    const QLocale locale;
    const auto size = [&](uint64_t n) {
        return locale.formattedDataSize(static_cast<qint64>(n), 1,
                                        QLocale::DataSizeTraditionalFormat);
    };
    bytes->setText(size(p.bytesDone) + " of " + size(p.bytesTotal));
    const uint64_t pct = p.bytesTotal == 0
                             ? (p.filesTotal == 0 ? 100 : p.filesDone * 100 / p.filesTotal)
                             : p.bytesDone * 100 / p.bytesTotal;
    progress->setValue(static_cast<int>(std::min<uint64_t>(pct, 100)));
}

ExtractionSummary SaveProgressDialog::Run(
    std::function<ExtractionSummary(ExtractionControl&, ExtractionObserver&)> copy) {
    struct Poster final : ExtractionObserver {
        SaveProgressDialog* d;
        void Show(const ExtractionProgress& p) {
            d->job_->PostLatest("progress", [d = d, p] { d->ShowProgress(p); });
        }
        void OnFileStarted(const ExtractionProgress& p) override { Show(p); }
        void OnProgress(const ExtractionProgress& p) override { Show(p); }
    };
    job_->Start([this, copy = std::move(copy)] {
        Poster poster;
        poster.d = this;
        ExtractionSummary s = copy(control, poster);
        // Every output file is closed by now.
        job_->Post([this, s] { summary_ = s; });
    });
    exec();
    return summary_;
}

} // namespace trevik::shell
