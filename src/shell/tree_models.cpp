#include "shell/tree_models.h"

#include "shell/themed_icon.h"
#include "ufs/names.h"
#include "ufs/ufs_time.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QLocale>
#include <QPalette>
#include <QStyle>
#include <algorithm>

namespace trevik::shell {

QString ShownName(std::string_view bytes) {
    return QString::fromStdString(DisplayName(bytes));
}

namespace {

// The folder of found items when it holds nothing (an Extensive mount of a sound volume)
// is not shown.
bool Hidden(const RecoveredTree& t, uint32_t folder) {
    const uint32_t inode = t.Folders()[folder].inode;
    return inode == kLostDirInode && t.ChildFolders(inode).empty() && t.ChildFiles(inode).empty();
}

QIcon FolderIcon() {
    return ThemedIcon("folder", QStyle::SP_DirIcon);
}

} // namespace

// ------------------------------------------------------------------ folder tree

void FolderTreeModel::SetTree(RecoveredTree* tree, const QString& rootName) {
    beginResetModel();
    tree_ = tree;
    rootName_ = rootName.isEmpty() ? QStringLiteral("Root") : rootName;
    folderIcon_ = FolderIcon();
    rowInParent_.clear();
    hiddenRootRow_ = -1;
    if (tree_ != nullptr) {
        // Rows within each parent, from the child index: linear in the folder count.
        rowInParent_.assign(tree_->FolderCount(), -1);
        auto number = [&](uint32_t parentInode) {
            int row = 0, at = 0;
            for (uint32_t f : tree_->ChildFolders(parentInode)) {
                if (parentInode == kRootInode && Hidden(*tree_, f))
                    hiddenRootRow_ = at;
                else
                    rowInParent_[f] = row++;
                ++at;
            }
        };
        number(kRootInode);
        for (const auto& f : tree_->Folders())
            number(f.inode);
    }
    endResetModel();
}

QModelIndex FolderTreeModel::RootIndex() const {
    return tree_ != nullptr ? createIndex(0, 0, quintptr{0}) : QModelIndex();
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (tree_ == nullptr || column != 0 || row < 0)
        return {};
    if (!parent.isValid()) {
        return row == 0 ? RootIndex() : QModelIndex();
    }
    const auto children = tree_->ChildFolders(InodeOf(parent));
    if (parent.internalId() == 0 && hiddenRootRow_ >= 0 && row >= hiddenRootRow_)
        ++row;
    if (static_cast<size_t>(row) >= children.size())
        return {};
    return createIndex(row, 0, quintptr{children[static_cast<size_t>(row)]} + 1);
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
    if (tree_ == nullptr || !child.isValid() || child.internalId() == 0)
        return {};
    const uint32_t parentInode = tree_->Folders()[child.internalId() - 1].parentInode;
    if (parentInode == kRootInode)
        return RootIndex();
    const int64_t p = tree_->FindFolder(parentInode);
    if (p < 0 || rowInParent_[static_cast<size_t>(p)] < 0)
        return {};
    return createIndex(rowInParent_[static_cast<size_t>(p)], 0, quintptr(p) + 1);
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
    if (tree_ == nullptr)
        return 0;
    if (!parent.isValid())
        return 1;
    const int hidden = parent.internalId() == 0 && hiddenRootRow_ >= 0 ? 1 : 0;
    return static_cast<int>(tree_->ChildFolders(InodeOf(parent)).size()) - hidden;
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
    if (tree_ == nullptr || !index.isValid())
        return {};
    if (role == Qt::DisplayRole) {
        if (index.internalId() == 0)
            return rootName_;
        return ShownName(tree_->FolderName(index.internalId() - 1));
    }
    if (role == Qt::DecorationRole)
        return folderIcon_;
    return {};
}

QModelIndex FolderTreeModel::FolderIndex(int64_t folder) const {
    if (tree_ == nullptr)
        return {};
    if (folder < 0)
        return RootIndex();
    const int row = rowInParent_[static_cast<size_t>(folder)];
    return row < 0 ? QModelIndex() : createIndex(row, 0, quintptr(folder) + 1);
}

int64_t FolderTreeModel::FolderOf(const QModelIndex& index) const {
    if (!index.isValid() || index.internalId() == 0)
        return -1;
    return static_cast<int64_t>(index.internalId()) - 1;
}

uint32_t FolderTreeModel::InodeOf(const QModelIndex& index) const {
    const int64_t f = FolderOf(index);
    return f < 0 ? kRootInode : tree_->Folders()[static_cast<size_t>(f)].inode;
}

void FolderTreeModel::FolderRenamed(int64_t folder) {
    const QModelIndex i = FolderIndex(folder);
    if (i.isValid())
        emit dataChanged(i, i);
}

QString FolderTreeModel::FolderItemPath(const QModelIndex& index) const {
    QStringList parts;
    for (QModelIndex i = index; i.isValid() && i.internalId() != 0; i = parent(i)) {
        parts.prepend(data(i, Qt::DisplayRole).toString());
    }
    return parts.join('\\');
}

// ------------------------------------------------------------------ file list

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void FileListModel::SetTree(RecoveredTree* tree, const std::vector<UnreadableEntry>* lost) {
    beginResetModel();
    tree_ = tree;
    lost_ = lost;
    lostIn_.clear();
    if (lost_ != nullptr)
        for (size_t i = 0; i < lost_->size(); ++i)
            lostIn_.emplace((*lost_)[i].folderInode, static_cast<uint32_t>(i));
    rows_.clear();
    folderIcon_ = FolderIcon();
    endResetModel();
}

void FileListModel::Clear() {
    beginResetModel();
    rows_.clear();
    endResetModel();
}

int FileListModel::Fill(uint32_t folderInode, const FilterTable& filters) {
    beginResetModel();
    rows_.clear();
    folderInode_ = folderInode;
    int hidden = 0;
    if (tree_ != nullptr) {
        for (uint32_t f : tree_->ChildFolders(folderInode))
            if (!Hidden(*tree_, f))
                rows_.push_back({true, f, static_cast<uint32_t>(rows_.size())});
        for (uint32_t f : tree_->ChildFiles(folderInode)) {
            if (filters.Shows(tree_->FileName(f)))
                rows_.push_back({false, f, static_cast<uint32_t>(rows_.size())});
            else
                ++hidden;
        }
        // The names whose inodes are gone, after the files, in the order met.
        std::vector<uint32_t> lost;
        const auto [from, to] = lostIn_.equal_range(folderInode);
        for (auto it = from; it != to; ++it)
            lost.push_back(it->second);
        std::sort(lost.begin(), lost.end());
        for (uint32_t i : lost) {
            if (filters.Shows((*lost_)[i].name))
                rows_.push_back({false, i, static_cast<uint32_t>(rows_.size()), true});
            else
                ++hidden;
        }
        ApplySort();
    }
    endResetModel();
    return hidden;
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(ListColumn::Count);
}

QVariant FileListModel::headerData(int section, Qt::Orientation o, int role) const {
    static const char* const kHeaders[] = {"Name", "Type", "Size", "Date", "Time", "Sector"};
    if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 6) {
        return QString::fromLatin1(kHeaders[section]);
    }
    if (o == Qt::Horizontal && role == Qt::TextAlignmentRole && section == 2) {
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

const FileListModel::TypeInfo& FileListModel::TypeOf(const QString& name) const {
    const qsizetype dot = name.lastIndexOf('.');
    const QString ext = dot > 0 ? name.mid(dot + 1).toLower() : QString();
    auto it = types_.find(ext);
    if (it != types_.end())
        return *it;
    // By the name alone: nothing on the host is touched.
    const QMimeType mime = mimes_.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    TypeInfo info;
    info.name = ext.isEmpty() ? QStringLiteral("File") : mime.comment();
    static const char* const kArchives[] = {"zip",  "compress", "archive", "tar",  "rar",
                                            "7z",   "xz",       "bzip",    "gzip", "lzma",
                                            "lzip", "zstd",     "cpio"};
    for (const char* a : kArchives) {
        if (!ext.isEmpty() && mime.name().contains(QLatin1String(a))) {
            info.name = "Compressed " + info.name;
            info.compressed = true;
            break;
        }
    }
    info.deleted = info.name.startsWith("Deleted ");
    info.icon = QIcon::fromTheme(
        mime.iconName(),
        QIcon::fromTheme(mime.genericIconName(),
                         QApplication::style()->standardIcon(QStyle::SP_FileIcon)));
    return *types_.insert(ext, info);
}

QString FileListModel::TypeText(int row) const {
    const Row& r = rows_[static_cast<size_t>(row)];
    if (r.lost)
        return QStringLiteral("unreadable");
    return r.folder ? QStringLiteral("Folder") : TypeOf(ShownName(tree_->FileName(r.index))).name;
}

QVariant FileListModel::RoleData(const Row& r, int role) const {
    switch (role) {
    case IsFolderRole:
        return r.folder;
    case IsLostRole:
        return r.lost;
    case IsDamagedRole:
        return !r.lost && !r.folder && tree_->Files()[r.index].damaged;
    case IsCompressedRole:
        return !r.lost && !r.folder && TypeOf(ShownName(tree_->FileName(r.index))).compressed;
    case NodeIndexRole:
        return r.index;
    case ModifiedTimeRole:
        if (r.lost)
            return {};
        return r.folder ? tree_->Folders()[r.index].modifiedTime
                        : tree_->Files()[r.index].modifiedTime;
    default:
        return {};
    }
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (tree_ == nullptr || !index.isValid())
        return {};
    const Row& r = rows_[static_cast<size_t>(index.row())];
    const auto col = static_cast<ListColumn>(index.column());
    if (role >= IsFolderRole)
        return RoleData(r, role);
    if (r.lost)
        return LostData(r, col, role);
    if (role == Qt::DisplayRole || role == Qt::EditRole) {
        const int32_t mtime = r.folder ? tree_->Folders()[r.index].modifiedTime
                                       : tree_->Files()[r.index].modifiedTime;
        switch (col) {
        case ListColumn::Name:
            return ShownName(r.folder ? tree_->FolderName(r.index) : tree_->FileName(r.index));
        case ListColumn::Type:
            return TypeText(index.row());
        case ListColumn::Size:
            return r.folder ? QStringLiteral("0") : QString::number(tree_->Files()[r.index].size);
        case ListColumn::Date:
            return QString::fromStdString(FormatUfsTime(mtime).date);
        case ListColumn::Time:
            return QString::fromStdString(FormatUfsTime(mtime).time);
        case ListColumn::Sector:
            return r.folder ? QString::number(r.index + 1)
                            : QString::number(tree_->Files()[r.index].ordinal);
        default:
            return {};
        }
    }
    if (role == Qt::DecorationRole && col == ListColumn::Name) {
        return r.folder ? folderIcon_ : TypeOf(ShownName(tree_->FileName(r.index))).icon;
    }
    if (role == Qt::TextAlignmentRole && col == ListColumn::Size) {
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    }
    if (role == Qt::ToolTipRole && col == ListColumn::Name)
        return ShownName(r.folder ? tree_->FolderName(r.index) : tree_->FileName(r.index));
    if (role == Qt::ToolTipRole && col == ListColumn::Size && !r.folder) {
        const uint64_t size = tree_->Files()[r.index].size;
        const QLocale locale;
        return locale.formattedDataSize(static_cast<qint64>(size), 1,
                                        QLocale::DataSizeTraditionalFormat) +
               (size >= 1024 ? " (" + locale.toString(static_cast<qulonglong>(size)) + " bytes)"
                             : QString());
    }
    if (role == Qt::ForegroundRole) {
        // Grey for what is deleted or damaged, red for compressed types, in shades that read
        // on light and dark palettes alike; everything else in the palette's own text colour.
        if (!r.folder && tree_->Files()[r.index].damaged)
            return QBrush(QColor(150, 150, 150));
        if (r.folder)
            return {};
        const TypeInfo& type = TypeOf(ShownName(tree_->FileName(r.index)));
        if (type.deleted)
            return QBrush(QColor(150, 150, 150));
        if (type.compressed) {
            const bool dark = QApplication::palette().color(QPalette::Base).lightness() < 128;
            return QBrush(dark ? QColor(255, 110, 110) : QColor(255, 0, 0));
        }
        return {};
    }
    return {};
}

void FileListModel::sort(int column, Qt::SortOrder order) {
    sortColumn_ = column;
    sortOrder_ = order;
    if (tree_ == nullptr || rows_.empty())
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // The views' selection and current row follow their rows to where they are sorted.
    const QModelIndexList before = persistentIndexList();
    std::vector<uint32_t> was;
    for (const QModelIndex& i : before)
        was.push_back(rows_[static_cast<size_t>(i.row())].discovered);
    ApplySort();
    std::vector<int> rowOf(rows_.size());
    for (size_t r = 0; r < rows_.size(); ++r)
        rowOf[rows_[r].discovered] = static_cast<int>(r);
    QModelIndexList after;
    for (size_t k = 0; k < was.size(); ++k)
        after.push_back(index(rowOf[was[k]], before[static_cast<qsizetype>(k)].column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void FileListModel::ApplySort() {
    const auto discovery = [](const Row& a, const Row& b) { return a.discovered < b.discovered; };
    if (sortColumn_ < 0 || sortColumn_ >= static_cast<int>(ListColumn::Count)) {
        std::sort(rows_.begin(), rows_.end(), discovery);
        return;
    }
    // Each row's key once, then one sort: folders first, ties in discovery order.
    const auto col = static_cast<ListColumn>(sortColumn_);
    const bool text = col == ListColumn::Name || col == ListColumn::Type;
    std::vector<QString> words(text ? rows_.size() : 0);
    std::vector<int64_t> numbers(text ? 0 : rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i) {
        const Row& r = rows_[i];
        if (r.lost) {
            if (text)
                words[r.discovered] = col == ListColumn::Name ? ShownName((*lost_)[r.index].name)
                                                              : QStringLiteral("unreadable");
            continue;
        }
        switch (col) {
        case ListColumn::Name:
            words[r.discovered] =
                ShownName(r.folder ? tree_->FolderName(r.index) : tree_->FileName(r.index));
            break;
        case ListColumn::Type:
            words[r.discovered] = TypeText(static_cast<int>(i));
            break;
        case ListColumn::Size:
            numbers[r.discovered] =
                r.folder ? 0 : static_cast<int64_t>(tree_->Files()[r.index].size);
            break;
        case ListColumn::Date:
        case ListColumn::Time:
            numbers[r.discovered] = r.folder ? tree_->Folders()[r.index].modifiedTime
                                             : tree_->Files()[r.index].modifiedTime;
            break;
        default:
            numbers[r.discovered] =
                r.folder ? int64_t{r.index} + 1 : int64_t{tree_->Files()[r.index].ordinal};
            break;
        }
    }
    const bool down = sortOrder_ == Qt::DescendingOrder;
    std::sort(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) {
        if (a.folder != b.folder)
            return a.folder;
        int c = 0;
        if (text) {
            const QString& x = words[a.discovered];
            const QString& y = words[b.discovered];
            c = x.compare(y, Qt::CaseInsensitive);
            if (c == 0)
                c = x.compare(y, Qt::CaseSensitive);
        } else {
            const int64_t x = numbers[a.discovered], y = numbers[b.discovered];
            c = x < y ? -1 : x > y ? 1 : 0;
        }
        if (c != 0)
            return down ? c > 0 : c < 0;
        return a.discovered < b.discovered;
    });
}

QVariant FileListModel::LostData(const Row& r, ListColumn col, int role) const {
    const UnreadableEntry& e = (*lost_)[r.index];
    if (role == Qt::DisplayRole) {
        if (col == ListColumn::Name)
            return ShownName(e.name);
        if (col == ListColumn::Type)
            return QStringLiteral("unreadable");
        return {};
    }
    if (role == Qt::DecorationRole && col == ListColumn::Name)
        return TypeOf(ShownName(e.name)).icon;
    if (role == Qt::ForegroundRole)
        return QBrush(QColor(150, 150, 150));
    if (role == Qt::ToolTipRole)
        return QString("%1: its inode (%2) lies in an unreadable sector (%3), so nothing of it "
                       "can be recovered")
            .arg(ShownName(e.name))
            .arg(e.inode)
            .arg(e.sector);
    return {};
}

QMimeData* FileListModel::mimeData(const QModelIndexList&) const {
    return dragOut ? dragOut() : nullptr;
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
    if (index.isValid() && rows_[static_cast<size_t>(index.row())].lost)
        return Qt::ItemIsEnabled; // seen, never selected, opened or copied
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid())
        f |= Qt::ItemIsDragEnabled;
    if (editingAllowed && index.column() == 0)
        f |= Qt::ItemIsEditable;
    return f;
}

bool FileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (tree_ == nullptr || role != Qt::EditRole || index.column() != 0 ||
        rows_[static_cast<size_t>(index.row())].lost)
        return false;
    const Row& r = rows_[static_cast<size_t>(index.row())];
    QString text = value.toString();
    // An empty name keeps the old one; a node holds at most 255 bytes.
    if (text.isEmpty())
        return false;
    QByteArray bytes = text.toUtf8();
    if (bytes.size() > 255)
        bytes.truncate(255);
    const std::string_view name(bytes.constData(), static_cast<size_t>(bytes.size()));
    if (r.folder) {
        tree_->RenameFolder(r.index, name);
        emit FolderRenamed(r.index);
    } else {
        tree_->RenameFile(r.index, name);
    }
    emit dataChanged(index, index.siblingAtColumn(columnCount() - 1));
    return true;
}

} // namespace trevik::shell
