#pragma once

#include "recovery/session.h"
#include "shell/browse_pane.h"
#include "shell/message_service.h"
#include "shell/wizard_controller.h"

#include <QObject>
#include <functional>
#include <map>

class QAction;
class QMainWindow;
class QToolBar;

namespace trevik::shell {

class HelpWindow;

// The menu bar, the toolbar (sharing the menu's actions, so a greyed item greys its button)
// and the commands that need nothing of the wizard: settings, the bad sector map, drive
// information, help, About and the product page. The others are signalled to the window.
class CommandBar : public QObject {
    Q_OBJECT
public:
    CommandBar(QMainWindow& window, Session& session, MessageService& messages,
               DesktopService& desktop);

    QAction* Action(Command command) const { return actions_.at(command); }
    QToolBar* Toolbar() const { return toolbar_; }
    // Greys and enables the items as the wizard's enabling table says.
    void Apply(const WizardController& wizard);

    void ShowSettings();
    void LoadBadSectorMap();
    void ShowDriveInformation();
    // Opens the manual at the page for `step`.
    void ShowHelpContents(WizardStep step);
    // A page of the manual ("browse.html#find"): by the desktop's browser, else in the
    // program's own help window over `over` (the window, or a dialog open over it).
    void ShowHelpPage(const QString& pageAndPart, QWidget* over);
    // The program's own help window, for tests; null until it is first shown.
    QDialog* HelpWindowShown() const;
    void ShowAbout();
    // `atExit`: the window is closing, so a page no browser can show is left unshown.
    void OpenProductWebPage(bool atExit = false);

    // Answers the bad sector map's file dialog (tests).
    std::function<QString()> chooseBadMap;

signals:
    void RecoverSelected();
    void RecoverAll();
    void Exit();
    void ViewChosen(ViewMode mode);
    void FindFiles();
    void FileFilters();
    void HelpContents();

private:
    void ShowInHelpWindow(const QUrl& url, QWidget* over);
    HelpWindow* help_ = nullptr; // the main window's help window; owned by the window

    QMainWindow& window_;
    Session& session_;
    MessageService& messages_;
    DesktopService& desktop_;
    QToolBar* toolbar_ = nullptr;
    std::map<Command, QAction*> actions_;
};

} // namespace trevik::shell
