#pragma once

#include "recovery/extraction.h"
#include "recovery/session.h"
#include "shell/dialogs.h"
#include "shell/message_service.h"
#include "shell/tree_models.h"
#include "shell/wizard_controller.h"

#include <QObject>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <vector>

class QAbstractItemView;
class QLineEdit;
class QToolButton;
class QListView;
class QMenu;
class QMimeData;
class QAction;
class QStackedWidget;
class QTableView;
class QTreeView;
class QWidget;

namespace trevik::shell {

enum class ViewMode { Icons, List, Details };

// The browsing step: the folder tree and the file list (details, list and icon views) over
// the mounted volume, with the list's context menu, its keys, and open, open with, rename
// and properties. The window places the two widgets; the pane acts only while the wizard
// browses with no worker busy.
class BrowsePane : public QObject {
    Q_OBJECT
public:
    BrowsePane(Session& session, const WizardController& wizard, MessageService& messages,
               DesktopService& desktop, QWidget* window);
    ~BrowsePane() override;

    QTreeView* FolderTree() const { return folderTree_; }
    QStackedWidget* ListStack() const { return listStack_; }
    // Above the list: Back, Up and the path of the folder listed.
    QWidget* PathBar() const { return pathBar_; }
    QString PathText() const;
    QTableView* DetailsView() const { return details_; }
    QListView* IconView() const { return iconList_; }
    FolderTreeModel* FolderModel() const { return folderModel_; }
    FileListModel* ListModel() const { return listModel_; }

    // The models follow the session's mounted volume (null: nothing shown).
    void SetVolume(MountedVolume* volume);
    // Lists the children of a folder (filters applied) without moving the focus.
    void ShowFolder(uint32_t inode);
    // A click on the folder tree: an invalid index stands for the empty area (the root).
    void ClickFolder(const QModelIndex& index);
    // Opens the item of the pane used last: a folder is listed and selected in the tree; a
    // file is copied out of the image and handed to the desktop (or to a chosen program).
    void OpenSelectedItem(bool openWith = false);
    // Shows a file in the panes: its folder listed and selected, its row selected.
    void RevealFile(uint32_t fileIndex);
    // The folder that holds the listed one (Alt+Up), and the folder listed before it
    // (Backspace, Alt+Left). Each keeps the focus where it is.
    void GoUp();
    void GoBack();
    void Rename();
    void ShowProperties();
    PropertiesValues ComputeProperties(int row) const;
    void SetViewMode(ViewMode mode);
    ViewMode Mode() const { return mode_; }
    void ClearList();

    // The row with the selection mark, or -1.
    int SelectedRow() const;
    std::vector<ExtractItem> SelectedItems() const;
    bool ListUsedLast() const { return !treeUsedLast_; }
    bool LabelEditing() const { return labelEditing_; }
    bool ContextMenuAllowed() const;
    // Files of the listed folder the filters hide.
    int HiddenByFilters() const { return hidden_; }
    // What the status line says while browsing: the active filter and what it hides, and
    // Extensive when a Normal mount found nothing.
    QString StatusText() const;

    // Asked for the program of "Open With..."; empty means cancel. A file dialog unless set.
    std::function<QString()> chooseProgram;

signals:
    void RecoverSelectedRequested();
    void RecoverAllRequested();
    void FindFilesRequested();
    void SettingsRequested();
    // The list was filled anew.
    void ListFilled();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool Active() const;
    void BuildContextMenu();
    void ShowContextMenu(const QPoint& pos, QWidget* view);
    void OpenFile(uint32_t fileIndex, bool openWith);
    QMimeData* DragOut();
    void NavigateTo(const QModelIndex& item);
    void ListFolderKeepingFocus(uint32_t inode);
    void ScrollTreeTo(const QModelIndex& item);
    void UpdatePathBar();
    QAbstractItemView* CurrentListView() const;

    Session& session_;
    const WizardController& wizard_;
    MessageService& messages_;
    DesktopService& desktop_;
    QWidget* window_;
    QTreeView* folderTree_ = nullptr;
    QStackedWidget* listStack_ = nullptr;
    QTableView* details_ = nullptr;
    QListView* iconList_ = nullptr;
    QWidget* pathBar_ = nullptr;
    QToolButton* backButton_ = nullptr;
    QToolButton* upButton_ = nullptr;
    QLineEdit* path_ = nullptr;
    std::vector<uint32_t> history_; // folders listed before, the last on top
    FolderTreeModel* folderModel_ = nullptr;
    FileListModel* listModel_ = nullptr;
    QMenu* contextMenu_ = nullptr;
    QAction* openWith_ = nullptr;
    ViewMode mode_ = ViewMode::Details;
    bool treeUsedLast_ = false;
    bool labelEditing_ = false;
    bool navigating_ = false;
    bool goingBack_ = false;
    bool listed_ = false; // the list shows a folder of the mounted volume
    int hidden_ = 0;
    std::unique_ptr<QTemporaryDir> openedFiles_;
    // Copies dragged out: kept until the program ends (the drop's target may still read).
    std::vector<std::unique_ptr<QTemporaryDir>> dragged_;
};

} // namespace trevik::shell
