#include "shell/browse_pane.h"

#include "shell/copy_out.h"
#include "shell/focus_highlight.h"
#include "ufs/ufs_time.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

namespace trevik::shell {
namespace {

// Tells the pane when an in-place rename begins and ends, however it was started (F2, the
// menu, or a second click on the selected row).
class RenameDelegate final : public QStyledItemDelegate {
public:
    RenameDelegate(QObject* parent, bool& editing)
        : QStyledItemDelegate(parent), editing_(editing) {}
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (editor != nullptr) {
            editing_ = true;
            bool& flag = editing_;
            QObject::connect(editor, &QObject::destroyed, [&flag] { flag = false; });
        }
        return editor;
    }

private:
    bool& editing_;
};

} // namespace

BrowsePane::BrowsePane(Session& session, const WizardController& wizard, MessageService& messages,
                       DesktopService& desktop, QWidget* window)
    : QObject(window), session_(session), wizard_(wizard), messages_(messages), desktop_(desktop),
      window_(window) {
    folderTree_ = new QTreeView;
    folderTree_->setHeaderHidden(true);
    folderTree_->setUniformRowHeights(true);
    folderModel_ = new FolderTreeModel(this);
    folderTree_->setModel(folderModel_);
    // As wide as its names: a folder deep down is scrolled to, not cut off.
    folderTree_->header()->setStretchLastSection(false);
    folderTree_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    folderTree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    folderTree_->installEventFilter(this);
    connect(folderTree_, &QTreeView::clicked, this, &BrowsePane::ClickFolder);
    // Keys move through the tree as clicks do: the folder reached is listed.
    connect(folderTree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (navigating_ || !current.isValid() || !Active())
                    return;
                treeUsedLast_ = true;
                ShowFolder(folderModel_->InodeOf(current));
            });

    listModel_ = new FileListModel(this);
    listStack_ = new QStackedWidget;
    details_ = new QTableView;
    details_->setModel(listModel_);
    details_->setSelectionBehavior(QAbstractItemView::SelectRows);
    details_->setShowGrid(true);
    details_->setWordWrap(false);
    details_->verticalHeader()->hide();
    details_->verticalHeader()->setDefaultSectionSize(details_->fontMetrics().height() + 6);
    details_->horizontalHeader()->setHighlightSections(false);
    details_->horizontalHeader()->setResizeContentsPrecision(500);
    const int widths[] = {150, 100, 70, 100, 70, 70};
    for (int c = 0; c < 6; ++c)
        details_->setColumnWidth(c, widths[c]);
    // Extra width goes to Name; a long name is cut in its middle (the whole name is its
    // tooltip), so the other columns and the header stay in view.
    details_->horizontalHeader()->setStretchLastSection(false);
    details_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    details_->horizontalHeader()->setMinimumSectionSize(40);
    details_->setTextElideMode(Qt::ElideMiddle);
    // A click on a header sorts by it, a second the other way, a third back to the order
    // the folder was found in (the default).
    details_->horizontalHeader()->setSortIndicatorClearable(true);
    details_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    details_->setSortingEnabled(true);
    iconList_ = new QListView;
    iconList_->setModel(listModel_);
    iconList_->setSelectionModel(details_->selectionModel()); // one selection for every view
    iconList_->setUniformItemSizes(true);
    iconList_->setResizeMode(QListView::Adjust);
    auto* renamer = new RenameDelegate(this, labelEditing_);
    for (QAbstractItemView* v :
         {static_cast<QAbstractItemView*>(details_), static_cast<QAbstractItemView*>(iconList_)}) {
        v->installEventFilter(this);
        v->setItemDelegateForColumn(0, renamer);
        v->setSelectionMode(QAbstractItemView::ExtendedSelection);
        // A second click on the selected item renames it, as F2 does.
        v->setEditTriggers(QAbstractItemView::SelectedClicked);
        v->setContextMenuPolicy(Qt::CustomContextMenu);
        // Rows dragged to a file manager are copied out first, as Recover Selected does.
        v->setDragEnabled(true);
        v->setDragDropMode(QAbstractItemView::DragOnly);
        v->setDefaultDropAction(Qt::CopyAction);
        connect(v, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex&) {
            treeUsedLast_ = false;
            if (Active())
                OpenSelectedItem(false);
        });
        connect(v, &QAbstractItemView::clicked, this, [this] { treeUsedLast_ = false; });
        connect(v, &QWidget::customContextMenuRequested, this, [this, v](const QPoint& pos) {
            // The menu key gives no place of its own: the menu opens at the current row.
            const QModelIndex current = v->currentIndex();
            const QRect row = current.isValid() ? v->visualRect(current) : QRect();
            const bool atRow = !row.isValid() || row.contains(pos) || v->indexAt(pos).isValid();
            ShowContextMenu(atRow ? pos : row.bottomLeft(), v->viewport());
        });
    }
    connect(details_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid() && !navigating_)
                    treeUsedLast_ = false;
            });
    connect(listModel_, &FileListModel::FolderRenamed, folderModel_,
            &FolderTreeModel::FolderRenamed);
    listModel_->dragOut = [this] { return DragOut(); };
    listStack_->addWidget(details_);
    listStack_->addWidget(iconList_);
    for (QAbstractItemView* v :
         std::initializer_list<QAbstractItemView*>{folderTree_, details_, iconList_})
        MarkSelectionByFocus(v);

    pathBar_ = new QWidget;
    auto* bar = new QHBoxLayout(pathBar_);
    bar->setContentsMargins(0, 0, 0, 2);
    backButton_ = new QToolButton;
    backButton_->setArrowType(Qt::LeftArrow);
    backButton_->setToolTip("Back (Alt+Left)");
    upButton_ = new QToolButton;
    upButton_->setArrowType(Qt::UpArrow);
    upButton_->setToolTip("Up (Alt+Up)");
    path_ = new QLineEdit;
    path_->setReadOnly(true);
    path_->setFocusPolicy(Qt::ClickFocus);
    for (QToolButton* b : {backButton_, upButton_}) {
        b->setFocusPolicy(Qt::NoFocus);
        b->setAutoRaise(true);
        bar->addWidget(b);
    }
    bar->addWidget(path_, 1);
    connect(backButton_, &QToolButton::clicked, this, &BrowsePane::GoBack);
    connect(upButton_, &QToolButton::clicked, this, &BrowsePane::GoUp);
    UpdatePathBar();
    BuildContextMenu();
}

BrowsePane::~BrowsePane() {
    folderModel_->SetTree(nullptr, {});
    listModel_->SetTree(nullptr);
}

void BrowsePane::BuildContextMenu() {
    contextMenu_ = new QMenu("Right Click", window_);
    contextMenu_->addAction("&Open", this, [this] {
        if (wizard_.Step() == WizardStep::Browse)
            OpenSelectedItem(false);
    });
    openWith_ = contextMenu_->addAction("Open &With...", this, [this] {
        if (wizard_.Step() == WizardStep::Browse)
            OpenSelectedItem(true);
    });
    contextMenu_->addSeparator();
    contextMenu_->addAction("&Recover Selected...", this, &BrowsePane::RecoverSelectedRequested);
    contextMenu_->addAction("Recover &All...", this, &BrowsePane::RecoverAllRequested);
    contextMenu_->addSeparator();
    QMenu* view = contextMenu_->addMenu("&View");
    view->addAction("Ico&ns     ", this, [this] { SetViewMode(ViewMode::Icons); });
    view->addAction("&List", this, [this] { SetViewMode(ViewMode::List); });
    view->addAction("&Details", this, [this] { SetViewMode(ViewMode::Details); });
    contextMenu_->addSeparator();
    contextMenu_->addAction("&Find Files...", this, &BrowsePane::FindFilesRequested);
    contextMenu_->addSeparator();
    contextMenu_->addAction("Re&name", this, &BrowsePane::Rename);
    contextMenu_->addSeparator();
    contextMenu_->addAction("&Settings...", this, &BrowsePane::SettingsRequested);
    contextMenu_->addSeparator();
    contextMenu_->addAction("&Properties...", this, &BrowsePane::ShowProperties);
}

bool BrowsePane::Active() const {
    return wizard_.Step() == WizardStep::Browse && !wizard_.WorkerRunning() &&
           session_.Mounted() != nullptr;
}

void BrowsePane::SetVolume(MountedVolume* volume) {
    navigating_ = true;
    folderModel_->SetTree(volume != nullptr ? &volume->tree : nullptr,
                          volume != nullptr ? QString::fromStdString(volume->entry.name)
                                            : QString());
    listModel_->SetTree(volume != nullptr ? &volume->tree : nullptr,
                        volume != nullptr ? &volume->unreadableEntries : nullptr);
    listModel_->editingAllowed = volume != nullptr;
    hidden_ = 0;
    history_.clear();
    listed_ = false;
    navigating_ = false;
    UpdatePathBar();
}

void BrowsePane::ClearList() {
    listModel_->Clear();
    hidden_ = 0;
    listed_ = false;
    history_.clear();
    UpdatePathBar();
}

void BrowsePane::ShowFolder(uint32_t inode) {
    // Another folder than the one listed: remembered for Back (a bounded history).
    constexpr size_t kHistory = 256;
    if (listed_ && inode != listModel_->FolderInode() && !goingBack_) {
        history_.push_back(listModel_->FolderInode());
        if (history_.size() > kHistory)
            history_.erase(history_.begin());
    }
    hidden_ = listModel_->Fill(inode, session_.filters);
    listed_ = session_.Mounted() != nullptr;
    UpdatePathBar();
    // The Name column as wide as the names shown (at least its first width).
    details_->resizeColumnToContents(0);
    if (details_->columnWidth(0) < 150)
        details_->setColumnWidth(0, 150);
    emit ListFilled();
}

QString BrowsePane::StatusText() const {
    const MountedVolume* v = session_.Mounted();
    if (v == nullptr)
        return {};
    QStringList parts;
    if (session_.filters.Count() != 0) {
        QStringList patterns;
        for (const std::string& f : session_.filters.Filters())
            patterns << QString::fromStdString(f);
        parts << QString("Filter: %1, %2 hidden").arg(patterns.join(", ")).arg(hidden_);
    }
    const RecoveredTree& t = v->tree;
    const bool onlyLost =
        t.FileCount() == 0 &&
        (t.FolderCount() == 0 || (t.FolderCount() == 1 && t.Folders()[0].inode == kLostDirInode));
    if (v->mode == RecoveryMode::Normal && onlyLost)
        parts << "Nothing was recovered in Normal mode: go Back and choose Extensive to search "
                 "the whole volume.";
    return parts.join("   ");
}

void BrowsePane::ClickFolder(const QModelIndex& index) {
    if (!Active())
        return;
    treeUsedLast_ = true;
    const QModelIndex item = index.isValid() ? index : folderModel_->RootIndex();
    NavigateTo(item);
}

void BrowsePane::NavigateTo(const QModelIndex& item) {
    navigating_ = true;
    ShowFolder(folderModel_->InodeOf(item));
    folderTree_->setFocus();
    folderTree_->setCurrentIndex(item);
    treeUsedLast_ = true;
    for (QModelIndex p = item.parent(); p.isValid(); p = p.parent())
        folderTree_->expand(p);
    ScrollTreeTo(item);
    navigating_ = false;
}

void BrowsePane::ScrollTreeTo(const QModelIndex& item) {
    folderTree_->scrollTo(item);
    // Sideways too, so that the item's name, not its indentation, is in view: once the
    // tree has laid its rows out anew (its width follows the names shown).
    QTimer::singleShot(0, folderTree_, [tree = folderTree_, at = QPersistentModelIndex(item)] {
        if (!at.isValid())
            return;
        const QRect r = tree->visualRect(at);
        QScrollBar* bar = tree->horizontalScrollBar();
        if (r.isValid() && (r.left() < 0 || r.left() > tree->viewport()->width() / 2))
            bar->setValue(bar->value() + r.left() - tree->indentation());
    });
}

void BrowsePane::ListFolderKeepingFocus(uint32_t inode) {
    const RecoveredTree* t = folderModel_ != nullptr && session_.Mounted() != nullptr
                                 ? &session_.Mounted()->tree
                                 : nullptr;
    if (t == nullptr)
        return;
    const QModelIndex item = inode == kRootInode ? folderModel_->RootIndex()
                                                 : folderModel_->FolderIndex(t->FindFolder(inode));
    if (!item.isValid())
        return;
    navigating_ = true;
    ShowFolder(inode);
    folderTree_->setCurrentIndex(item);
    for (QModelIndex p = item.parent(); p.isValid(); p = p.parent())
        folderTree_->expand(p);
    ScrollTreeTo(item);
    navigating_ = false;
    if (listModel_->rowCount() > 0 && !treeUsedLast_)
        CurrentListView()->setCurrentIndex(listModel_->index(0, 0));
}

void BrowsePane::GoUp() {
    if (!Active() || listModel_->FolderInode() == kRootInode)
        return;
    const RecoveredTree& t = session_.Mounted()->tree;
    const int64_t f = t.FindFolder(listModel_->FolderInode());
    if (f < 0)
        return;
    const uint32_t from = listModel_->FolderInode();
    ListFolderKeepingFocus(t.Folders()[static_cast<size_t>(f)].parentInode);
    // The folder come from is the current row, as a file manager shows it.
    for (int r = 0; r < listModel_->rowCount(); ++r) {
        const FileListModel::Row& row = listModel_->RowAt(r);
        if (row.folder && t.Folders()[row.index].inode == from) {
            CurrentListView()->setCurrentIndex(listModel_->index(r, 0));
            break;
        }
    }
}

void BrowsePane::GoBack() {
    if (!Active() || history_.empty())
        return;
    const uint32_t to = history_.back();
    history_.pop_back();
    goingBack_ = true;
    ListFolderKeepingFocus(to);
    goingBack_ = false;
}

QString BrowsePane::PathText() const {
    const RecoveredTree* t = session_.Mounted() != nullptr ? &session_.Mounted()->tree : nullptr;
    if (t == nullptr)
        return {};
    const uint32_t inode = listModel_->FolderInode();
    QModelIndex i = inode == kRootInode ? folderModel_->RootIndex()
                                        : folderModel_->FolderIndex(t->FindFolder(inode));
    QStringList parts;
    for (; i.isValid() && folderModel_->FolderOf(i) >= 0; i = folderModel_->parent(i))
        parts.prepend(i.data().toString());
    return "/" + parts.join('/');
}

void BrowsePane::UpdatePathBar() {
    if (path_ == nullptr)
        return;
    const bool on = session_.Mounted() != nullptr;
    path_->setText(on ? PathText() : QString());
    path_->setToolTip(path_->text());
    upButton_->setEnabled(on && listModel_->FolderInode() != kRootInode);
    backButton_->setEnabled(on && !history_.empty());
}

int BrowsePane::SelectedRow() const {
    const QItemSelectionModel* s = details_->selectionModel();
    const QModelIndex current = s->currentIndex();
    if (current.isValid() && s->isRowSelected(current.row(), {}))
        return current.row();
    const auto rows = s->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

std::vector<ExtractItem> BrowsePane::SelectedItems() const {
    std::vector<ExtractItem> items;
    for (const QModelIndex& i : details_->selectionModel()->selectedRows()) {
        const FileListModel::Row& r = listModel_->RowAt(i.row());
        if (!r.lost)
            items.push_back({r.folder, r.index});
    }
    return items;
}

void BrowsePane::OpenSelectedItem(bool openWith) {
    if (session_.Mounted() == nullptr)
        return;
    if (treeUsedLast_) {
        const QModelIndex item = folderTree_->currentIndex();
        if (item.isValid())
            NavigateTo(item);
        return;
    }
    const int row = SelectedRow();
    if (row < 0)
        return;
    const FileListModel::Row r = listModel_->RowAt(row);
    if (!r.folder) {
        OpenFile(r.index, openWith);
        return;
    }
    const QModelIndex item = folderModel_->FolderIndex(r.index);
    if (item.isValid()) {
        NavigateTo(item);
        // Opened from the list, the folder is walked on in the list: the keyboard focus
        // stays there (what the commands act on is the opened folder until a row is chosen).
        CurrentListView()->setFocus();
    } else {
        // A folder with no tree item (not reachable from the root): listed all the same.
        ShowFolder(session_.Mounted()->tree.Folders()[r.index].inode);
    }
}

void BrowsePane::OpenFile(uint32_t fileIndex, bool openWith) {
    // Copied out of the image into a private folder, then handed over.
    if (!openedFiles_)
        openedFiles_ = std::make_unique<QTemporaryDir>();
    const QString dir = openedFiles_->path() + "/" + QString::number(fileIndex);
    // The one file the copy wrote, under whatever name it had to take.
    const QStringList written =
        CopyOut(window_, messages_, session_, {{false, fileIndex}}, false, dir, false);
    if (written.size() != 1)
        return;
    const QString file = written.first();
    if (!openWith && !desktop_.OpenFile(file)) {
        openWith = messages_.AskYesNo(
            window_, MessageKind::Question,
            QString("No program is set to open \"%1\" on this desktop.\nDo you want to choose "
                    "one with Open With... ?")
                .arg(QFileInfo(file).fileName()));
        if (!openWith)
            return;
    }
    if (openWith) {
        const QString program =
            chooseProgram ? chooseProgram()
                          : QFileDialog::getOpenFileName(window_, "Open With", "/usr/bin");
        if (!program.isEmpty())
            desktop_.OpenWith(program, file);
    }
}

void BrowsePane::RevealFile(uint32_t fileIndex) {
    MountedVolume* v = session_.Mounted();
    if (v == nullptr || fileIndex >= v->tree.Files().size() || !Active())
        return;
    const uint32_t parent = v->tree.Files()[fileIndex].parentInode;
    const QModelIndex item = parent == kRootInode
                                 ? folderModel_->RootIndex()
                                 : folderModel_->FolderIndex(v->tree.FindFolder(parent));
    if (item.isValid())
        NavigateTo(item);
    else
        ShowFolder(parent);
    for (int row = 0; row < listModel_->rowCount(); ++row) {
        const FileListModel::Row& r = listModel_->RowAt(row);
        if (!r.folder && !r.lost && r.index == fileIndex) {
            navigating_ = true;
            details_->selectRow(row);
            navigating_ = false;
            CurrentListView()->scrollTo(listModel_->index(row, 0));
            CurrentListView()->setFocus();
            treeUsedLast_ = false;
            break;
        }
    }
}

QAbstractItemView* BrowsePane::CurrentListView() const {
    return listStack_->currentWidget() == details_ ? static_cast<QAbstractItemView*>(details_)
                                                   : iconList_;
}

bool BrowsePane::ContextMenuAllowed() const {
    return wizard_.ContextMenuAllowed(SelectedRow() >= 0, !treeUsedLast_);
}

void BrowsePane::ShowContextMenu(const QPoint& pos, QWidget* view) {
    treeUsedLast_ = false;
    if (!ContextMenuAllowed())
        return;
    openWith_->setEnabled(!listModel_->index(SelectedRow(), 0).data(IsFolderRole).toBool());
    contextMenu_->popup(view->mapToGlobal(pos));
}

void BrowsePane::Rename() {
    if (treeUsedLast_ || !Active())
        return;
    const int row = SelectedRow();
    if (row < 0)
        return;
    CurrentListView()->edit(listModel_->index(row, 0));
}

QMimeData* BrowsePane::DragOut() {
    if (!Active())
        return nullptr;
    const std::vector<ExtractItem> items = SelectedItems();
    if (items.empty())
        return nullptr;
    auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/trevik-drag-XXXXXX");
    if (!dir->isValid())
        return nullptr;
    // Through the extraction engine, under the Saving dialog; its report only when
    // something was lost, so that the drag goes on.
    QList<QUrl> urls;
    for (const QString& path :
         CopyOut(window_, messages_, session_, items, false, dir->path(), false))
        urls << QUrl::fromLocalFile(path);
    if (urls.isEmpty())
        return nullptr;
    dragged_.push_back(std::move(dir));
    auto* data = new QMimeData;
    data->setUrls(urls);
    return data;
}

PropertiesValues BrowsePane::ComputeProperties(int row) const {
    const FileListModel::Row& r = listModel_->RowAt(row);
    const RecoveredTree& t = session_.Mounted()->tree;
    PropertiesValues v;
    v.name = ShownName(r.folder ? t.FolderName(r.index) : t.FileName(r.index));
    const UfsTimeText when =
        FormatUfsTime(listModel_->index(row, 0).data(ModifiedTimeRole).toInt());
    v.date = QString::fromStdString(when.date);
    v.time = QString::fromStdString(when.time);
    auto foundText = [](Found f) -> QString {
        switch (f) {
        case Found::Walk:
            return "Named by its folder";
        case Found::InodeScan:
            return "Found by the inode scan";
        case Found::Orphan:
            return "In use, but named by no folder";
        case Found::DirBlocks:
            return "Rebuilt from directory blocks";
        }
        return {};
    };
    if (!r.folder) {
        const uint64_t bytes = t.Files()[r.index].size;
        v.size = QString::number(bytes / 1024 + 1) + " KB (" + QString::number(bytes) + " bytes)";
        if (t.Files()[r.index].damaged)
            v.status = "Damaged";
        v.found = foundText(t.Files()[r.index].found);
        return v;
    }
    v.found = foundText(t.Folders()[r.index].found);
    if (t.Folders()[r.index].inode == kLostDirInode) {
        // The program's own folder: it has no date on the disk.
        v.found = "The program's own folder for what was found without a place";
        v.date.clear();
        v.time.clear();
    }
    // The folder's whole subtree.
    struct Sum final : SubtreeVisitor {
        const RecoveredTree& t;
        uint64_t files = 0, bytes = 0, folders = 0;
        explicit Sum(const RecoveredTree& tree) : t(tree) {}
        bool EnterFolder(uint32_t, size_t) override {
            ++folders;
            return true;
        }
        void VisitFile(uint32_t f, size_t) override {
            ++files;
            bytes += t.Files()[f].size;
        }
    } sum(t);
    t.WalkSubtree(t.Folders()[r.index].inode, WalkOrder::FilesFirst, sum);
    const uint64_t mb = sum.bytes / 1024 / 1024;
    v.size = (mb == 0 ? QStringLiteral("Less than 1") : QString::number(mb)) + " MB (" +
             QString::number(sum.bytes) + " bytes)";
    v.contains =
        QString::number(sum.files) + " File(s) and " + QString::number(sum.folders) + " Folder(s)";
    return v;
}

void BrowsePane::ShowProperties() {
    const int row = SelectedRow();
    if (row < 0 || session_.Mounted() == nullptr)
        return;
    PropertiesDialog dialog(ComputeProperties(row), window_);
    dialog.exec();
}

void BrowsePane::SetViewMode(ViewMode mode) {
    mode_ = mode;
    if (mode == ViewMode::Details) {
        listStack_->setCurrentWidget(details_);
        return;
    }
    iconList_->setViewMode(mode == ViewMode::Icons ? QListView::IconMode : QListView::ListMode);
    iconList_->setFlow(mode == ViewMode::Icons ? QListView::LeftToRight : QListView::TopToBottom);
    iconList_->setWrapping(true);
    listStack_->setCurrentWidget(iconList_);
}

bool BrowsePane::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const bool inList = watched == details_ || watched == iconList_;
    switch (key->key()) {
    case Qt::Key_Up:
    case Qt::Key_Left:
        if (!(key->modifiers() & Qt::AltModifier) || labelEditing_)
            return false;
        treeUsedLast_ = !inList;
        key->key() == Qt::Key_Up ? GoUp() : GoBack();
        return true;
    case Qt::Key_Backspace:
        if (labelEditing_)
            return false;
        treeUsedLast_ = !inList;
        GoBack();
        return true;
    case Qt::Key_F2:
        if (inList && !labelEditing_) {
            treeUsedLast_ = false;
            Rename();
        }
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (labelEditing_)
            return false;
        if (Active()) {
            treeUsedLast_ = !inList;
            OpenSelectedItem(false);
        }
        return true;
    case Qt::Key_Tab:
        if (labelEditing_ || !Active())
            return false;
        if (inList) {
            folderTree_->setFocus();
            treeUsedLast_ = true;
        } else {
            CurrentListView()->setFocus();
            treeUsedLast_ = false;
        }
        return true;
    case Qt::Key_Menu:
        if (inList) {
            auto* view = static_cast<QAbstractItemView*>(watched);
            const int row = SelectedRow();
            const QRect at = row >= 0 ? view->visualRect(listModel_->index(row, 0)) : QRect();
            ShowContextMenu(at.center(), view->viewport());
        }
        return true;
    default:
        return false;
    }
}

} // namespace trevik::shell
