#pragma once

#include "disk/assembled_device.h"
#include "recovery/drive_information.h"
#include "recovery/filter_table.h"
#include "recovery/recovery_settings.h"
#include "shell/message_service.h"
#include "ufs/mount_observer.h"

#include <QCheckBox>
#include <QDialog>
#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QRadioButton;
class QTextBrowser;

namespace trevik::shell {

// "Select Mode Of Recovery": Normal is selected on every opening.
class ModeDialog : public QDialog {
    Q_OBJECT
public:
    explicit ModeDialog(QWidget* parent = nullptr);
    RecoveryMode Mode() const;
    QRadioButton* normal = nullptr;
    QRadioButton* extensive = nullptr;
};

// "Recovery Settings": sectors per read, duplicate policy, how names are written, retries. Changes
// the settings only on OK.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(RecoverySettings& settings, QWidget* parent = nullptr);
    void accept() override;
    QComboBox* sectors = nullptr;
    QComboBox* retries = nullptr;
    QRadioButton* rename = nullptr;
    QRadioButton* overwrite = nullptr;
    QRadioButton* skip = nullptr;
    QCheckBox* rawNames = nullptr;
    QCheckBox* applyLog = nullptr;

private:
    RecoverySettings& settings_;
};

// "Open Metadevice": a Solaris Volume Manager metadevice put together from the images or
// disks of its components, in order, with its interlace and the components' start block.
// OK accepts only a layout that reads: the error is shown and the dialog stays.
class MetadeviceDialog : public QDialog {
    Q_OBJECT
public:
    // `pickFiles` asks for component images (tests answer it).
    MetadeviceDialog(MessageService& messages, std::function<QStringList()> pickFiles,
                     QWidget* parent = nullptr);
    // The layout as the fields give it; the reason when they do not give one.
    Result<LayoutSpec> Spec() const;
    void accept() override;

    QComboBox* kind = nullptr;
    QListWidget* components = nullptr;
    QLineEdit* interlace = nullptr;
    QLineEdit* startBlock = nullptr;

private:
    void Move(int by);
    MessageService& messages_;
    std::function<QStringList()> pickFiles_;
};

// The manual in a window of the program's own, for a desktop without a browser: the
// installed pages with their links and pictures.
class HelpWindow : public QDialog {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* parent = nullptr);
    void Show(const QUrl& page);
    QTextBrowser* browser = nullptr;
};

// "File Filters": add and remove patterns; closing commits them.
class FiltersDialog : public QDialog {
    Q_OBJECT
public:
    FiltersDialog(FilterTable& table, MessageService& messages, QWidget* parent = nullptr);
    void done(int result) override;
    QLineEdit* edit = nullptr;
    QListWidget* list = nullptr;

private:
    void Add();
    void Remove();
    FilterTable& table_;
    MessageService& messages_;
    FilterEditor editor_;
};

struct PropertiesValues {
    QString name, size, date, time, contains;
    QString status; // "Damaged" for an item whose inode cannot be what it claims
    QString found;  // how the item was found
};

class PropertiesDialog : public QDialog {
    Q_OBJECT
public:
    PropertiesDialog(const PropertiesValues& v, QWidget* parent = nullptr);
};

class DriveInformationDialog : public QDialog {
    Q_OBJECT
public:
    DriveInformationDialog(const DriveInformation& info, QWidget* parent = nullptr);
    QLabel* values[8] = {};
};

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

} // namespace trevik::shell
