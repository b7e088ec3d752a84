#pragma once

#include "disk/disk_table.h"
#include "shell/message_service.h"
#include "volume/volume_table.h"

#include <QObject>
#include <QString>
#include <functional>
#include <set>
#include <string>

class QTreeWidget;
class QWidget;

namespace trevik::shell {

// The first step's list: the machine's disks, the images added, and the metadevices put
// together from them, one item per listed disk under "My Computer". It owns no disk; the
// table it shows is the session's.
class DiskList : public QObject {
    Q_OBJECT
public:
    // `window` parents the dialogs and messages; the tree widget is the window's.
    DiskList(QTreeWidget& tree, DiskTable& disks, MessageService& messages, QWidget* window);

    // Lists every disk of the table so far, then the metadevices the images record.
    void Fill();
    // Lists an image; empty on success, else the reason.
    QString AddImage(const QString& path);
    // Asks for an image file (Add Disk Image...) and lists it.
    void AskForImage();
    // Lists a metadevice put together from its components; empty on success, else why not.
    QString AddMetadevice(const LayoutSpec& layout);
    // Lists the metadevices the state database on the listed images records, each once for
    // each way it can be put together from them.
    void OfferMetadevices();
    // Asks for a metadevice's layout (Open Metadevice) and lists it; `pick` chooses its
    // component images (the file picker unless tests replace it).
    void AskForMetadevice(std::function<QStringList()> pick);

private:
    void AddItem(size_t k);

    QTreeWidget& tree_;
    DiskTable& disks_;
    MessageService& messages_;
    QWidget* window_;                   // not owned
    QString componentFolder_;           // where the last component image was picked
    std::set<std::string> offeredKeys_; // name and components of each metadevice listed
};

// Makes child k of the tree's root item its current item. True when it already was: then
// no change is signalled, and the caller acts on the choice itself.
bool MakeCurrent(QTreeWidget* tree, int k);

// The second step's list: the volumes found, under "Partitions".
void ShowVolumes(QTreeWidget& tree, const VolumeTable& volumes);
// The status panel's type of a volume: "UFS"; where the partition holds no UFS, what the
// label calls it or what it holds instead.
QString VolumeTypeText(const PartitionEntry& e);

} // namespace trevik::shell
