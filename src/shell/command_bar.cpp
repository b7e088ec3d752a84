#include "shell/command_bar.h"

#include "shell/dialogs.h"
#include "shell/help_texts.h"
#include "shell/themed_icon.h"
#include "text/messages.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMainWindow>
#include <QMenuBar>
#include <QStyle>
#include <QToolBar>
#include <QUrl>

namespace trevik::shell {

CommandBar::CommandBar(QMainWindow& window, Session& session, MessageService& messages,
                       DesktopService& desktop)
    : QObject(&window), window_(window), session_(session), messages_(messages), desktop_(desktop) {
    auto add = [this](QMenu* menu, Command c, const char* text, auto slot, QIcon icon = QIcon()) {
        actions_[c] = menu->addAction(icon, text, this, slot);
    };
    QMenuBar* bar = window.menuBar();
    QMenu* recovery = bar->addMenu("&Recovery");
    add(recovery, Command::RecoverSelected, "&Recover Selected...", &CommandBar::RecoverSelected,
        ThemedIcon("document-save", QStyle::SP_DialogSaveButton));
    add(recovery, Command::RecoverAll, "Recover &All...", &CommandBar::RecoverAll,
        ThemedIcon("document-save-all", QStyle::SP_DriveFDIcon));
    recovery->addSeparator();
    recovery->addAction("E&xit...", this, &CommandBar::Exit);
    QMenu* view = bar->addMenu("&View");
    add(view, Command::Icons, "Ico&ns", [this] { emit ViewChosen(ViewMode::Icons); });
    add(view, Command::List, "&List", [this] { emit ViewChosen(ViewMode::List); });
    add(view, Command::Details, "&Details", [this] { emit ViewChosen(ViewMode::Details); });
    QMenu* tools = bar->addMenu("&Tools");
    add(tools, Command::FindFiles, "&Find Files...", &CommandBar::FindFiles,
        ThemedIcon("edit-find", QStyle::SP_FileDialogContentsView));
    add(tools, Command::FileFilters, "File Fi&lters...", &CommandBar::FileFilters);
    add(tools, Command::Settings, "Se&ttings...", &CommandBar::ShowSettings,
        ThemedIcon("preferences-system", QStyle::SP_FileDialogDetailedView));
    add(tools, Command::BadSectorMap, "Load &Bad Sector Map...", &CommandBar::LoadBadSectorMap);
    tools->addSeparator();
    add(tools, Command::DriveInformation, "&Drive Information", &CommandBar::ShowDriveInformation);
    QMenu* help = bar->addMenu("&Help");
    QAction* contents = help->addAction("&Contents", this, &CommandBar::HelpContents);
    contents->setShortcut(QKeySequence(Qt::Key_F1));
    help->addAction("&About Trevik Recovery (Solaris)...", this, &CommandBar::ShowAbout);

    // The tooltips live on the actions: the buttons keep them when greyed and enabled.
    actions_[Command::RecoverSelected]->setToolTip(
        "Copy the selected file(s) and folder(s) to your computer");
    actions_[Command::RecoverAll]->setToolTip(
        "Copy all the file(s) and folder(s) to your computer");
    actions_[Command::FindFiles]->setToolTip("Search the file(s) in the recovered data");
    actions_[Command::Settings]->setToolTip("Configures the software");
    actions_[Command::BadSectorMap]->setToolTip(
        "Reads a GNU ddrescue mapfile: what the rescue could not read is never read again and "
        "is reported lost");
    toolbar_ = window.addToolBar("Toolbar");
    toolbar_->setMovable(false);
    for (Command c :
         {Command::RecoverSelected, Command::RecoverAll, Command::FindFiles, Command::Settings})
        toolbar_->addAction(actions_[c]);
    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar_->addWidget(spacer);
    QAction* home = toolbar_->addAction(ThemedIcon("go-home", QStyle::SP_DirHomeIcon), "Home page",
                                        this, [this] { OpenProductWebPage(); });
    home->setToolTip("Click here to visit software home page");
}

void CommandBar::Apply(const WizardController& wizard) {
    for (auto& [command, action] : actions_)
        action->setEnabled(wizard.Enabled(command));
}

void CommandBar::ShowSettings() {
    SettingsDialog dialog(session_.settings, &window_);
    if (dialog.exec() == QDialog::Accepted)
        session_.ApplySettings();
}

void CommandBar::LoadBadSectorMap() {
    const QString path = chooseBadMap
                             ? chooseBadMap()
                             : QFileDialog::getOpenFileName(
                                   &window_, "Load Bad Sector Map", QDir::homePath(),
                                   "GNU ddrescue mapfiles (*.map *.mapfile *.log);;All files (*)");
    if (path.isEmpty())
        return;
    const Status loaded = session_.LoadBadSectorMap(path.toStdString());
    if (!loaded) {
        messages_.ShowMessage(&window_, MessageKind::Error, QString::fromStdString(loaded.error()));
        return;
    }
    messages_.ShowMessage(&window_, MessageKind::Information,
                          QString("Bad sector map loaded: %1 sector(s) in %2 area(s) will not be "
                                  "read, and what they hold will be reported lost.")
                              .arg(session_.BadMapSectors())
                              .arg(session_.BadMapAreas()));
    if (const Session::MapCoverage c = session_.BadMapCoverage(); c.Mismatch()) {
        messages_.ShowMessage(
            &window_, MessageKind::Error,
            QString::fromStdString("Warning: " + text::MapCoverageMessage(c.mapBytes, c.diskBytes) +
                                   "."));
    }
}

void CommandBar::ShowDriveInformation() {
    if (session_.Mounted() == nullptr)
        return;
    DriveInformation info = MakeDriveInformation(*session_.Mounted());
    if (const BlockDevice* device = session_.Device(); device != nullptr) {
        info.imageFormat = device->Details().format;
        info.storedMd5 = device->Details().storedMd5;
        info.storedSha1 = device->Details().storedSha1;
    }
    DriveInformationDialog dialog(info, &window_);
    dialog.exec();
}

void CommandBar::ShowHelpContents(WizardStep step) {
    ShowHelpPage(HelpPage(step), &window_);
}

void CommandBar::ShowHelpPage(const QString& pageAndPart, QWidget* over) {
    const QString dir = ManualDirectory();
    const QString file = pageAndPart.section('#', 0, 0);
    const QString page = dir + "/" + file;
    if (dir.isEmpty() || !QFileInfo::exists(page)) {
        messages_.ShowMessage(over, MessageKind::Error,
                              " Trevik for Solaris (SPARC) manual not found");
        return;
    }
    QUrl url = QUrl::fromLocalFile(page);
    if (pageAndPart.contains('#'))
        url.setFragment(pageAndPart.section('#', 1));
    if (desktop_.OpenUrl(url))
        return;
    ShowInHelpWindow(url, over);
}

QDialog* CommandBar::HelpWindowShown() const {
    return help_;
}

void CommandBar::ShowInHelpWindow(const QUrl& url, QWidget* over) {
    // Over a dialog that holds the input, the window is the dialog's own (else it could not
    // be used before the dialog is closed).
    if (over != nullptr && over != &window_) {
        auto* w = new HelpWindow(over);
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->Show(url);
        return;
    }
    if (help_ == nullptr)
        help_ = new HelpWindow(&window_);
    help_->Show(url);
}

void CommandBar::ShowAbout() {
    AboutDialog dialog(&window_);
    dialog.exec();
}

void CommandBar::OpenProductWebPage(bool atExit) {
    const QByteArray configured = qgetenv("TREVIK_HOME_PAGE");
    const QString page = ProductPage();
    const QUrl url = !configured.isEmpty() ? QUrl::fromUserInput(QString::fromLocal8Bit(configured))
                                           : (!page.isEmpty() ? QUrl::fromLocalFile(page) : QUrl());
    if (url.isEmpty() || desktop_.OpenUrl(url) || atExit)
        return;
    // No browser: a page of our own is shown here; another site's address is given.
    if (url.isLocalFile())
        ShowInHelpWindow(url, &window_);
    else
        messages_.ShowMessage(&window_, MessageKind::Information,
                              "No web browser is set on this desktop. The home page is " +
                                  url.toString());
}

} // namespace trevik::shell
