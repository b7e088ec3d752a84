#include "shell/disk_list.h"

#include "shell/dialogs.h"
#include "shell/themed_icon.h"
#include "text/messages.h"
#include "volume/disk_label.h"
#include "volume/state_database.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStyle>
#include <QTreeWidget>

namespace trevik::shell {

namespace {

const char* const kImageFilter =
    "Disk images (*.img *.dd *.raw *.bin *.E01 *.e01 *.001 *.aa);;All files (*)";

QString VolumeToolTip(const PartitionEntry& e) {
    QString tip = QString(e.label == LabelKind::Efi ? "EFI label" : "SPARC label") + ", " +
                  QString::fromStdString(text::TagName(e.tag));
    if (!e.typeGuid.empty())
        tip += ", type " + QString::fromStdString(e.typeGuid);
    if (!HoldsUfs(e))
        tip += "\n" + QString::fromStdString(text::NotUfsMessage(e));
    return tip;
}

} // namespace

DiskList::DiskList(QTreeWidget& tree, DiskTable& disks, MessageService& messages, QWidget* window)
    : QObject(window), tree_(tree), disks_(disks), messages_(messages), window_(window) {}

void DiskList::Fill() {
    auto* root = new QTreeWidgetItem(&tree_, {"My Computer"});
    root->setIcon(0, ThemedIcon("computer", QStyle::SP_ComputerIcon));
    for (size_t k = 0; k < disks_.listedCount; ++k)
        AddItem(k);
    OfferMetadevices();
    root->setExpanded(true);
}

void DiskList::AddItem(size_t k) {
    const DiskEntry& d = disks_.entries[k];
    if (d.layout) {
        // "SVM stripe of 3, 204 MB": a metadevice is named by what it is.
        auto* item = new QTreeWidgetItem(tree_.topLevelItem(0),
                                         {d.metadevice.empty()
                                              ? QString::fromStdString(d.model) + ", " +
                                                    QString::number(d.totalSectors / 2048) + " MB"
                                              : QString::fromStdString(d.model)});
        item->setIcon(0, ThemedIcon("drive-multidisk", QStyle::SP_DriveHDIcon));
        QString tip = QString::fromStdString(d.model) + ":";
        for (const std::string& c : d.layout->components)
            tip += "\n" + (c == kMissingComponent ? QString("(missing: rebuilt or left out)")
                                                  : QString::fromStdString(c));
        item->setToolTip(0, tip);
        return;
    }
    auto* item =
        new QTreeWidgetItem(tree_.topLevelItem(0), {QString::fromStdString(DiskItemName(k))});
    const bool image = QFileInfo(QString::fromStdString(d.devicePath)).isFile();
    item->setIcon(0, image ? ThemedIcon("application-x-raw-disk-image", QStyle::SP_FileIcon)
                           : ThemedIcon("drive-harddisk", QStyle::SP_DriveHDIcon));
    item->setToolTip(0, QString("%1\n%2\n%3")
                            .arg(QString::fromStdString(d.devicePath),
                                 image ? QString("Disk image") : QString::fromStdString(d.model),
                                 QString::fromStdString(CapacityText(d.totalSectors))));
}

QString DiskList::AddImage(const QString& path) {
    const size_t before = disks_.listedCount;
    const Status added = AddImageDisk(disks_, path.toStdString());
    if (!added)
        return QString::fromStdString(added.error());
    AddItem(before);
    OfferMetadevices();
    tree_.topLevelItem(0)->setExpanded(true);
    return {};
}

void DiskList::AskForImage() {
    const QString path =
        QFileDialog::getOpenFileName(window_, "Add Disk Image", QDir::homePath(), kImageFilter);
    if (path.isEmpty())
        return;
    const QString error = AddImage(path);
    if (!error.isEmpty())
        messages_.ShowMessage(window_, MessageKind::Error, error);
}

QString DiskList::AddMetadevice(const LayoutSpec& layout) {
    const size_t before = disks_.listedCount;
    const Status added = AddLayoutDisk(disks_, layout);
    if (!added)
        return QString::fromStdString(added.error());
    AddItem(before);
    tree_.topLevelItem(0)->setExpanded(true);
    return {};
}

void DiskList::AskForMetadevice(std::function<QStringList()> pick) {
    // Components lie side by side: each pick starts where the last one was made.
    if (!pick) {
        pick = [this] {
            const QStringList files = QFileDialog::getOpenFileNames(
                window_, "Add Component Images",
                componentFolder_.isEmpty() ? QDir::homePath() : componentFolder_, kImageFilter);
            if (!files.isEmpty())
                componentFolder_ = QFileInfo(files.back()).absolutePath();
            return files;
        };
    }
    MetadeviceDialog dialog(messages_, pick, window_);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString error = AddMetadevice(*dialog.Spec());
    if (!error.isEmpty())
        messages_.ShowMessage(window_, MessageKind::Error, error);
}

void DiskList::OfferMetadevices() {
    // Images only: the machine's own disks may be failing, and are not read before the
    // user picks one (Add Metadevice... puts theirs together).
    std::vector<DiskSource> sources;
    for (size_t k = 0; k < disks_.listedCount; ++k) {
        const DiskEntry& d = disks_.entries[k];
        if (!d.layout && QFileInfo(QString::fromStdString(d.devicePath)).isFile())
            sources.push_back({d.devicePath, ""});
    }
    if (sources.empty())
        return;
    std::atomic<bool> stop{false};
    const MetadeviceSearch search = FindMetadevices(sources, stop);
    for (const FoundMetadevice& m : search.found) {
        if (!m.layout)
            continue; // not yet: its components are on images not listed
        std::string key = m.name;
        for (const std::string& c : m.layout->components)
            key += "\n" + c;
        if (!offeredKeys_.insert(key).second)
            continue;
        std::string model = m.description;
        for (size_t i = 0; i < m.missing.size(); ++i)
            model += (i == 0 ? " (missing: " : ", ") + m.missing[i];
        if (!m.missing.empty())
            model += ")";
        const size_t before = disks_.listedCount;
        if (AddLayoutDisk(disks_, *m.layout, model, m.name))
            AddItem(before);
    }
}

bool MakeCurrent(QTreeWidget* tree, int k) {
    QTreeWidgetItem* root = tree->topLevelItem(0);
    QTreeWidgetItem* item = root != nullptr ? root->child(k) : nullptr;
    if (item == nullptr)
        return false;
    if (tree->currentItem() == item)
        return true;
    tree->setCurrentItem(item);
    return false;
}

void ShowVolumes(QTreeWidget& tree, const VolumeTable& volumes) {
    tree.clear();
    auto* root = new QTreeWidgetItem(&tree, {"Partitions"});
    for (const auto& e : volumes.Entries()) {
        auto* item = new QTreeWidgetItem(root, {QString::fromStdString(e.name)});
        item->setToolTip(0, VolumeToolTip(e));
    }
    root->setExpanded(true);
}

QString VolumeTypeText(const PartitionEntry& e) {
    if (e.content != ForeignFormat::None)
        return QString::fromStdString(text::ForeignFormatName(e.content));
    if (!HoldsUfs(e))
        return QString::fromStdString(text::TagName(e.tag));
    return "UFS";
}

} // namespace trevik::shell
