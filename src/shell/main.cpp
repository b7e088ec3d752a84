// trevik: the desktop application.
//
//   trevik [IMAGE]...                      disk images are listed after the machine's disks
//   trevik --screenshots DIR IMAGE         renders the window at each wizard step to PNG files

#include "shell/main_dialog.h"
#include "shell/screenshots.h"
#include "shell/title_fit.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

namespace {

// The off-screen platform, which renders the pictures, warns for every window it cannot
// size as a window manager would: nothing the reader of the run needs to see.
QtMessageHandler g_defaultHandler = nullptr;
void QuietOffscreen(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && text.contains("does not support propagateSizeHints"))
        return;
    if (g_defaultHandler != nullptr)
        g_defaultHandler(type, context, text);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("trevik");
    QApplication::setApplicationDisplayName(trevik::shell::kCaption);
    QApplication::setApplicationVersion(TREVIK_VERSION);
    QCommandLineParser parser;
    parser.setApplicationDescription("Recover files from Solaris (SPARC) UFS disks, read-only");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption screenshots("screenshots", "Render each wizard step to PNG files in DIR.",
                                   "DIR");
    parser.addOption(screenshots);
    parser.addPositionalArgument("IMAGE", "Disk image files to list after the disks.",
                                 "[IMAGE...]");
    parser.process(app);

    if (parser.isSet(screenshots)) {
        g_defaultHandler = qInstallMessageHandler(QuietOffscreen);
        return trevik::shell::RenderWizardSteps(parser.value(screenshots),
                                                parser.positionalArguments());
    }
    trevik::shell::FitDialogTitles(app);
    trevik::shell::BoxMessageService messages;
    trevik::shell::SystemDesktopService desktop;
    trevik::shell::MainDialog window(messages, desktop, parser.positionalArguments());
    window.show();
    return QApplication::exec();
}
