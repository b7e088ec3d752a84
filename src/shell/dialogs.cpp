#include "shell/dialogs.h"

#include "text/messages.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <algorithm>

namespace trevik::shell {

ModeDialog::ModeDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Select Mode Of Recovery");
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        "Please select the mode of recovery. \n\nSelect Extensive search for serious damages or "
        "when Normal search fails to recover all of your required data.");
    text->setWordWrap(true);
    layout->addWidget(text);
    normal = new QRadioButton("Normal Search ( Recommended )");
    extensive = new QRadioButton("Extensive Search");
    normal->setChecked(true);
    layout->addWidget(normal);
    layout->addWidget(extensive);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

RecoveryMode ModeDialog::Mode() const {
    return normal->isChecked() ? RecoveryMode::Normal : RecoveryMode::Extensive;
}

SettingsDialog::SettingsDialog(RecoverySettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
    setWindowTitle("Recovery Settings");
    auto* layout = new QVBoxLayout(this);

    auto* readBox = new QGroupBox("Sectors to read in single attempt");
    auto* readLayout = new QHBoxLayout(readBox);
    readLayout->addWidget(new QLabel("Sectors to read in single attempt"));
    sectors = new QComboBox;
    for (int i = 1; i <= 100; ++i)
        sectors->addItem(QString::number(i));
    sectors->setCurrentIndex(static_cast<int>(settings.sectorsPerRead) - 1);
    readLayout->addWidget(sectors);
    layout->addWidget(readBox);

    auto* dupBox = new QGroupBox("Setting of duplicate file(s)");
    auto* dupLayout = new QVBoxLayout(dupBox);
    rename = new QRadioButton("Rename duplicate file(s)");
    overwrite = new QRadioButton("Overwrite duplicate file(s)");
    skip = new QRadioButton("Skip duplicate file(s)");
    for (auto* b : {rename, overwrite, skip})
        dupLayout->addWidget(b);
    rename->setChecked(settings.duplicatePolicy == DuplicatePolicy::Rename);
    overwrite->setChecked(settings.duplicatePolicy == DuplicatePolicy::Overwrite);
    skip->setChecked(settings.duplicatePolicy == DuplicatePolicy::Skip);
    layout->addWidget(dupBox);

    // Names are written as the window shows them (UTF-8) unless the disk's own bytes are
    // wanted.
    auto* namesBox = new QGroupBox("Setting for file names");
    auto* namesLayout = new QVBoxLayout(namesBox);
    rawNames = new QCheckBox("Write names with the disk's own bytes (not as shown)");
    rawNames->setChecked(settings.rawNames);
    namesLayout->addWidget(rawNames);
    layout->addWidget(namesBox);

    // A crashed logging volume's newest metadata is only in its log.
    auto* logBox = new QGroupBox("Setting for logging volumes");
    auto* logLayout = new QVBoxLayout(logBox);
    applyLog = new QCheckBox("Apply the UFS log");
    applyLog->setToolTip("Show a volume that was not unmounted cleanly as Solaris would after "
                         "rolling its log; unchecked, as it stands on the disk");
    applyLog->setChecked(settings.applyLog);
    logLayout->addWidget(applyLog);
    layout->addWidget(logBox);

    auto* badBox = new QGroupBox("Setting for bad sectors");
    auto* badLayout = new QHBoxLayout(badBox);
    badLayout->addWidget(new QLabel("Number of retries on bad sector(s)"));
    retries = new QComboBox;
    for (int i = 1; i <= 10; ++i)
        retries->addItem(QString::number(i));
    retries->setCurrentIndex(settings.badSectorRetries - 1);
    badLayout->addWidget(retries);
    layout->addWidget(badBox);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

void SettingsDialog::accept() {
    settings_.sectorsPerRead = static_cast<uint32_t>(sectors->currentIndex() + 1);
    settings_.badSectorRetries = static_cast<uint16_t>(retries->currentIndex() + 1);
    if (rename->isChecked())
        settings_.duplicatePolicy = DuplicatePolicy::Rename;
    if (overwrite->isChecked())
        settings_.duplicatePolicy = DuplicatePolicy::Overwrite;
    if (skip->isChecked())
        settings_.duplicatePolicy = DuplicatePolicy::Skip;
    settings_.rawNames = rawNames->isChecked();
    settings_.applyLog = applyLog->isChecked();
    QDialog::accept();
}

HelpWindow::HelpWindow(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Trevik for Solaris (SPARC) Help");
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* back = new QPushButton("< &Back");
    auto* contents = new QPushButton("&Contents");
    auto* close = new QPushButton("&Close");
    row->addWidget(back);
    row->addWidget(contents);
    row->addStretch();
    row->addWidget(close);
    layout->addLayout(row);
    browser = new QTextBrowser;
    browser->setOpenExternalLinks(true);
    layout->addWidget(browser);
    connect(back, &QPushButton::clicked, browser, &QTextBrowser::backward);
    connect(browser, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
    connect(contents, &QPushButton::clicked, this, [this] {
        QUrl index = browser->source().resolved(QUrl("index.html"));
        browser->setSource(index);
    });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    resize(760, 640);
}

void HelpWindow::Show(const QUrl& page) {
    browser->setSource(page);
    show();
    raise();
    activateWindow();
}

MetadeviceDialog::MetadeviceDialog(MessageService& messages, std::function<QStringList()> pickFiles,
                                   QWidget* parent)
    : QDialog(parent), messages_(messages), pickFiles_(std::move(pickFiles)) {
    setWindowTitle("Open Metadevice");
    auto* form = new QFormLayout(this);
    kind = new QComboBox;
    kind->addItems({"Concatenation", "Stripe", "RAID-5", "Mirror"});
    kind->setCurrentIndex(1);
    form->addRow("&Layout:", kind);
    components = new QListWidget;
    components->setToolTip("The components in the order the metadevice uses them");
    form->addRow("&Components:", components);
    auto* row = new QHBoxLayout;
    auto* add = new QPushButton("&Add Images...");
    auto* missing = new QPushButton("Add &Missing");
    missing->setToolTip("Stands for a lost RAID-5 column or mirror half");
    auto* remove = new QPushButton("&Remove");
    auto* up = new QPushButton("Move &Up");
    auto* down = new QPushButton("Move &Down");
    for (QPushButton* b : {add, missing, remove, up, down})
        row->addWidget(b);
    form->addRow(row);
    interlace = new QLineEdit("16k");
    interlace->setToolTip("Bytes, or with a k or m suffix (stripes and RAID-5)");
    form->addRow("&Interlace:", interlace);
    startBlock = new QLineEdit("0");
    startBlock->setToolTip(
        "Where each component's data begins, in 512-byte blocks: past the state database "
        "replicas of a slice that holds them");
    form->addRow("&Start block:", startBlock);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &MetadeviceDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // What was added is the current row, so that Move Up and Move Down take it at once.
    connect(add, &QPushButton::clicked, this, [this] {
        for (const QString& f : pickFiles_())
            components->addItem(f);
        components->setCurrentRow(components->count() - 1);
    });
    connect(missing, &QPushButton::clicked, this, [this] {
        components->addItem(QString::fromLatin1(kMissingComponent));
        components->setCurrentRow(components->count() - 1);
    });
    connect(remove, &QPushButton::clicked, this,
            [this] { delete components->takeItem(components->currentRow()); });
    connect(up, &QPushButton::clicked, this, [this] { Move(-1); });
    connect(down, &QPushButton::clicked, this, [this] { Move(1); });
    connect(kind, &QComboBox::currentIndexChanged, this,
            [this](int k) { interlace->setEnabled(k == 1 || k == 2); });
}

void MetadeviceDialog::Move(int by) {
    const int r = components->currentRow();
    const int to = r + by;
    if (r < 0 || to < 0 || to >= components->count())
        return;
    QListWidgetItem* item = components->takeItem(r);
    components->insertItem(to, item);
    components->setCurrentRow(to);
}

Result<LayoutSpec> MetadeviceDialog::Spec() const {
    LayoutSpec spec;
    static constexpr LayoutKind kKinds[] = {LayoutKind::Concat, LayoutKind::Stripe,
                                            LayoutKind::Raid5, LayoutKind::Mirror};
    spec.kind = kKinds[std::clamp(kind->currentIndex(), 0, 3)];
    for (int i = 0; i < components->count(); ++i)
        spec.components.push_back(components->item(i)->text().toStdString());
    if (spec.kind == LayoutKind::Stripe || spec.kind == LayoutKind::Raid5) {
        const auto bytes = ParseByteSize(interlace->text().trimmed().toStdString());
        if (!bytes || *bytes == 0 || *bytes % 512 != 0)
            return Error{"The interlace is not a size in whole 512-byte blocks (bytes, or with "
                         "a k or m suffix)"};
        spec.interlaceSectors = *bytes / 512;
    }
    bool ok = false;
    spec.startSector = startBlock->text().trimmed().toULongLong(&ok);
    if (!ok)
        return Error{"The start block is not a number of 512-byte blocks"};
    return spec;
}

void MetadeviceDialog::accept() {
    const auto spec = Spec();
    if (!spec) {
        messages_.ShowMessage(this, MessageKind::Error, QString::fromStdString(spec.error()));
        return;
    }
    // Put together once here, so that a layout that does not read keeps the dialog open.
    const auto device = AssembledDevice::Open(*spec);
    if (!device) {
        messages_.ShowMessage(this, MessageKind::Error, QString::fromStdString(device.error()));
        return;
    }
    QDialog::accept();
}

FiltersDialog::FiltersDialog(FilterTable& table, MessageService& messages, QWidget* parent)
    : QDialog(parent), table_(table), messages_(messages), editor_(table) {
    setWindowTitle("File Filters");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Enter Filter"));
    edit = new QLineEdit;
    edit->setMaxLength(299);
    layout->addWidget(edit);
    list = new QListWidget;
    for (const auto& f : editor_.Entries())
        list->addItem(QString::fromStdString(f));
    layout->addWidget(list);
    auto* row = new QHBoxLayout;
    auto* add = new QPushButton("&Add");
    auto* remove = new QPushButton("&Remove");
    auto* close = new QPushButton("&Close");
    add->setDefault(true);
    row->addWidget(add);
    row->addWidget(remove);
    row->addWidget(close);
    layout->addLayout(row);
    connect(add, &QPushButton::clicked, this, &FiltersDialog::Add);
    // Enter in the field presses Add, the default button, once.
    connect(remove, &QPushButton::clicked, this, &FiltersDialog::Remove);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
}

void FiltersDialog::Add() {
    const std::string text = edit->text().toStdString();
    const FilterEditor::Outcome r = editor_.Add(text);
    if (r != FilterEditor::Outcome::Added) {
        messages_.ShowMessage(this, MessageKind::Information,
                              QString::fromStdString(text::FilterRefusal(r)));
        if (r == FilterEditor::Outcome::TooLong) {
            edit->setSelection(0, static_cast<int>(FilterTable::kMaxLength));
        } else if (r == FilterEditor::Outcome::Duplicate) {
            edit->selectAll();
        }
        edit->setFocus();
        return;
    }
    list->insertItem(0, edit->text());
    edit->clear();
    edit->setFocus();
}

void FiltersDialog::Remove() {
    const int row = list->currentRow();
    if (row >= 0 && editor_.Remove(row))
        delete list->takeItem(row);
}

void FiltersDialog::done(int result) {
    editor_.CommitTo(table_);
    QDialog::done(result);
}

PropertiesDialog::PropertiesDialog(const PropertiesValues& v, QWidget* parent) : QDialog(parent) {
    setWindowTitle("File/Folder Properties");
    auto* form = new QFormLayout(this);
    form->addRow("Name :", new QLabel(v.name));
    form->addRow("Size                            :", new QLabel(v.size));
    // UFS keeps no creation time: what the list's Date and Time show is the last change.
    if (!v.date.isEmpty())
        form->addRow("Modified Date              :", new QLabel(v.date));
    if (!v.time.isEmpty())
        form->addRow("Modified Time              :", new QLabel(v.time));
    form->addRow("Contains                     :", new QLabel(v.contains));
    if (!v.status.isEmpty())
        form->addRow("Status                         :", new QLabel(v.status));
    if (!v.found.isEmpty())
        form->addRow("Found                          :", new QLabel(v.found));
    auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(ok, &QDialogButtonBox::accepted, this, &QDialog::accept);
    form->addRow(ok);
}

DriveInformationDialog::DriveInformationDialog(const DriveInformation& d, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("Drive Information");
    auto* form = new QFormLayout(this);
    // Each figure with its unit: sectors are of 512 bytes.
    const QString texts[8] = {QString::fromStdString(d.volumeName),
                              "sector " + QString::number(d.volumeStart),
                              QString::number(d.volumeSize) + " sectors (" +
                                  QString::number(d.volumeSize / 2048) + " MB)",
                              QString::number(d.blockSize) + " sectors (" +
                                  QString::number(d.blockSize * 512) + " bytes)",
                              "sector " + QString::number(d.superBlockStart),
                              QString::number(d.totalFiles),
                              QString::number(d.totalFolders),
                              QString::fromStdString(d.recoveryType)};
    const char* labels[8] = {"Volume Name",       "Volume Start", "Volume Size",   "Block Size",
                             "Super Block Start", "Total Files",  "Total Folders", "Recovery Type"};
    for (int i = 0; i < 8; ++i) {
        values[i] = new QLabel(texts[i]);
        form->addRow(labels[i], values[i]);
    }
    if (d.log.status != LogStatus::None) {
        auto* l = new QLabel(QString::fromStdString(text::LogSummary(d.log)));
        l->setWordWrap(true);
        form->addRow("UFS Log", l);
    }
    // The image as its acquisition described it.
    const std::pair<const char*, std::string> image[] = {{"Image Format", d.imageFormat},
                                                         {"Stored MD5", d.storedMd5},
                                                         {"Stored SHA-1", d.storedSha1}};
    for (const auto& [label, value] : image) {
        if (!value.empty()) {
            auto* l = new QLabel(QString::fromStdString(value));
            l->setTextInteractionFlags(Qt::TextSelectableByMouse);
            form->addRow(label, l);
        }
    }
    auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(ok, &QDialogButtonBox::accepted, this, &QDialog::accept);
    form->addRow(ok);
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Trevik Recovery (Solaris)");
    auto* layout = new QVBoxLayout(this);
    // One version everywhere: the one trevik --version and trevik-cli --version give.
    layout->addWidget(new QLabel("Trevik for Solaris (SPARC) " TREVIK_VERSION));
    auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(ok, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(ok);
}

} // namespace trevik::shell
