#include "shell/help_texts.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace trevik::shell {

QStringList QuickHelpLines(QuickHelp help) {
    switch (help) {
    case QuickHelp::ChooseDisk:
        return {"1. Select the disk to recover from left pane.",
                "2. Select the Volume Identify Option.", "3. Click Next Button."};
    case QuickHelp::ChooseDiskAgain:
        return {"1. Select the disk to scan from left pane.", "2. Select the scan type.",
                "3. Click Next Button."};
    case QuickHelp::ChoosePartition:
        return {"1. Select the Partition to recover from left pane.", "2. Click Next Button."};
    case QuickHelp::ChooseVolume:
        return {"1. Select the Volume to recover from left pane.", "2. Click Next Button."};
    case QuickHelp::ChooseVolumeAgain:
        return {"1. Select the volume to recover from left pane or use Search Partitions for a "
                "quick search of missing partitions.",
                "2. Click Next Button"};
    case QuickHelp::Scanning:
        return {"Please Wait, Trevik is searching for partitions. Once this process is "
                "completed, it will show you all the Partitions."};
    case QuickHelp::Mounting:
        return {"Please Wait, Trevik is mounting the selected file system. Once this process is "
                "completed, it will show you the                       data."};
    case QuickHelp::Browse:
        return {"Please select the file(s) and folder(s) to recover from right pane and copy "
                "using   Recover Selected      or                             Recover All "
                "options from the Recovery Menu.",
                "You can open a file by Double Clicking it."};
    }
    return {};
}

QString HelpPage(WizardStep step) {
    switch (step) {
    case WizardStep::SelectVolume:
        return "volume.html";
    case WizardStep::Browse:
        return "browse.html";
    default:
        return "disk.html";
    }
}

namespace {

// Installed, or beside the program in the build tree.
QString BesideProgram(const QString& relative) {
    const QString appDir = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         {appDir + "/../share/doc/trevik/" + relative, appDir + "/doc/" + relative}) {
        if (QFileInfo::exists(candidate))
            return QFileInfo(candidate).absoluteFilePath();
    }
    return {};
}

} // namespace

QString ManualDirectory() {
    const QByteArray configured = qgetenv("TREVIK_MANUAL_DIR");
    if (!configured.isEmpty())
        return QString::fromLocal8Bit(configured);
    const QString index = BesideProgram("manual/index.html");
    return index.isEmpty() ? QString() : QFileInfo(index).absolutePath();
}

QString ProductPage() {
    return BesideProgram("index.html");
}

QSize FirstSize(QSize wanted, QSize available) {
    // Room for the window frame and title bar, which the available area does not count.
    const QSize room(available.width() - 16, available.height() - 48);
    return wanted.boundedTo(room.expandedTo(QSize(320, 240)));
}

QString DialogHelpPage(const QObject& dialog, WizardStep step) {
    static const std::pair<const char*, const char*> kPages[] = {
        {"trevik::shell::SettingsDialog", "recovering.html#settings"},
        {"trevik::shell::FiltersDialog", "browse.html#filters"},
        {"trevik::shell::FindFilesDialog", "browse.html#find"},
        {"trevik::shell::MetadeviceDialog", "disk.html#metadevice"},
        {"trevik::shell::ModeDialog", "volume.html"},
        {"trevik::shell::SaveProgressDialog", "recovering.html"},
    };
    for (const auto& [cls, page] : kPages) {
        if (dialog.inherits(cls))
            return page;
    }
    return HelpPage(step);
}

} // namespace trevik::shell
