#pragma once

#include "recovery/filter_table.h"
#include "ufs/recovered_tree.h"

#include <QAbstractItemModel>
#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <QMimeData>
#include <QMimeDatabase>
#include <functional>
#include <unordered_map>
#include <vector>

namespace trevik::shell {

// The folder tree over the recovered tree's arrays: the root item stands for inode 2, a
// folder's item has internal id = its index + 1. Nothing is copied per node but its row.
class FolderTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit FolderTreeModel(QObject* parent = nullptr) : QAbstractItemModel(parent) {}

    // Shows `tree` (null: nothing) under a root item named `rootName`.
    void SetTree(RecoveredTree* tree, const QString& rootName);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& = {}) const override { return 1; }
    QVariant data(const QModelIndex& index, int role) const override;

    QModelIndex RootIndex() const;
    // The item of folder i, or the root item for -1.
    QModelIndex FolderIndex(int64_t folder) const;
    // -1 for the root item.
    int64_t FolderOf(const QModelIndex& index) const;
    uint32_t InodeOf(const QModelIndex& index) const;
    void FolderRenamed(int64_t folder);
    // "Alpha\Beta\Gamma" for the item's ancestors below the root.
    QString FolderItemPath(const QModelIndex& index) const;

private:
    RecoveredTree* tree_ = nullptr;
    QString rootName_;
    std::vector<int> rowInParent_;
    int hiddenRootRow_ = -1; // the root's child not shown, or -1
    QIcon folderIcon_;
};

enum class ListColumn { Name = 0, Type, Size, Date, Time, Sector, Count };

// What a row of the list is, for the window's own decisions: the display roles are for the
// eye, and nothing is decided by comparing their texts.
enum ListRole {
    IsFolderRole = Qt::UserRole + 1, // bool
    IsDamagedRole,                   // bool: its inode cannot be what it claims (never copied)
    IsCompressedRole,                // bool: of an archive type (drawn red)
    IsLostRole,                      // bool: an entry whose inode could not be read
    NodeIndexRole,    // uint: in the tree's Folders() or Files(), as IsFolderRole says
    ModifiedTimeRole, // int: the inode's time, seconds since 1970 (UTC)
};

// A name from the disk as the window shows it.
QString ShownName(std::string_view bytes);

// The list pane: the children of one folder, folders first, then the files the filters
// let through, each in discovery order; sorted by a column on request (folders still
// first), and back in discovery order when the sort is cleared.
class FileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Row {
        bool folder;
        uint32_t index;          // in the tree's Folders() or Files(); for a lost entry, in
                                 // the mount's unreadable entries
        uint32_t discovered = 0; // its place in discovery order
        bool lost = false;       // an entry whose inode could not be read: its name only
    };

    explicit FileListModel(QObject* parent = nullptr);

    // `lost`: the entries whose inodes could not be read, shown greyed in their folders.
    void SetTree(RecoveredTree* tree, const std::vector<UnreadableEntry>* lost = nullptr);
    // Returns how many files the filters hid.
    int Fill(uint32_t folderInode, const FilterTable& filters);
    void Clear();
    uint32_t FolderInode() const { return folderInode_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    // A column < 0: discovery order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    // Rows dragged out of the list: what `dragOut` copies them to (null: no drag).
    QStringList mimeTypes() const override { return {QStringLiteral("text/uri-list")}; }
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }
    std::function<QMimeData*()> dragOut;
    int SortColumn() const { return sortColumn_; }

    const Row& RowAt(int row) const { return rows_[static_cast<size_t>(row)]; }
    QString TypeText(int row) const;
    // The type name and icon of a file name, by its extension alone.
    QIcon IconOf(const QString& name) const { return TypeOf(name).icon; }
    bool editingAllowed = false;

signals:
    void FolderRenamed(int64_t folder);

private:
    struct TypeInfo {
        QString name;
        QIcon icon;
        bool compressed = false;
        bool deleted = false;
    };
    QVariant RoleData(const Row& r, int role) const;
    const TypeInfo& TypeOf(const QString& name) const;
    void ApplySort();
    QVariant LostData(const Row& r, ListColumn col, int role) const;

    RecoveredTree* tree_ = nullptr;
    const std::vector<UnreadableEntry>* lost_ = nullptr;
    std::unordered_multimap<uint32_t, uint32_t> lostIn_; // folder inode -> lost entries
    uint32_t folderInode_ = kRootInode;
    std::vector<Row> rows_;
    QMimeDatabase mimes_;
    mutable QHash<QString, TypeInfo> types_;
    QIcon folderIcon_;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

} // namespace trevik::shell
