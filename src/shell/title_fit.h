#pragma once

class QApplication;
class QObject;
class QWidget;

namespace trevik::shell {

// The width a dialog needs for its whole title as the window manager draws it (the
// program's name after the dialog's own, the window buttons beside it).
int TitleWidth(const QWidget* dialog);

// Widens every dialog the program shows, as it is shown, to that width (within the
// screen), so that no title is cut to "About ...SPARC)". Message boxes, whose title is the
// program's name alone, size themselves. Returns the filter doing it (deleting it ends it).
QObject* FitDialogTitles(QApplication& app);

} // namespace trevik::shell
