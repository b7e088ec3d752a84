#pragma once

#include "shell/wizard_controller.h"

#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>

namespace trevik::shell {

// The quick-help texts, each line as the window shows it.
QStringList QuickHelpLines(QuickHelp help);
// The manual's page for a wizard step.
QString HelpPage(WizardStep step);
// The manual's page that tells of a dialog; the step's page for the others.
QString DialogHelpPage(const QObject& dialog, WizardStep step);
// The folder of the manual: $TREVIK_MANUAL_DIR, the installed one, or the one beside the
// program in the build tree; empty when there is none.
QString ManualDirectory();
// The product page beside the manual; empty when there is none.
QString ProductPage();
// The first size of the window: `wanted`, shrunk to fit `available` with room for the frame.
QSize FirstSize(QSize wanted, QSize available);

} // namespace trevik::shell
