#include "shell/copy_out.h"

#include "recovery/dfxml_report.h"
#include "recovery/source_guard.h"
#include "shell/save_progress_dialog.h"
#include "text/copy_report.h"
#include "text/messages.h"

#include <ctime>
#include <memory>

namespace trevik::shell {
namespace {

void ReportCopy(QWidget* parent, MessageService& messages, const ExtractionSummary& s,
                const MessageService::ReportActions& actions) {
    QStringList lines;
    for (const std::string& line : text::CopyItemLines(s))
        lines << QString::fromStdString(line);
    messages.ShowReport(parent, QString::fromStdString(text::CopyHeadline(s)), lines, actions);
}

} // namespace

QStringList CopyOut(QWidget* parent, MessageService& messages, Session& session,
                    const std::vector<ExtractItem>& items, bool all, const QString& destination,
                    bool report, DesktopService* desktop) {
    MountedVolume* volume = session.Mounted();
    if (volume == nullptr)
        return {};
    const std::string dest = destination.toStdString();
    // Nothing is written over the disk being read, or onto it.
    SourceGuard guard;
    if (const BlockDevice* device = session.Device(); device != nullptr)
        guard = SourceGuard::Of(*device);
    const Status allowed = guard.CheckDestination(dest, session.settings.duplicatePolicy ==
                                                            DuplicatePolicy::Overwrite);
    if (!allowed) {
        messages.ShowMessage(parent, MessageKind::Error, QString::fromStdString(allowed.error()));
        return {};
    }
    SaveProgressDialog dialog(parent);
    ExtractionOptions options;
    options.protectedFiles = guard.Files();
    options.duplicates = session.settings.duplicatePolicy;
    options.rawNames = session.settings.rawNames;
    options.records = true; // for "Save Report..."
    options.omitEmptyLostDir = true;
    const auto started = static_cast<int64_t>(std::time(nullptr));
    SectorReader& reader = session.Reader();
    // Shared: the report may be saved while the summary is shown, or later by whoever
    // keeps it.
    const auto kept = std::make_shared<const ExtractionSummary>(
        dialog.Run([=, &reader](ExtractionControl& c, ExtractionObserver& o) {
            return ExtractItems(*volume, reader, items, all, dest, options, c, &o);
        }));
    const ExtractionSummary& s = *kept;
    if (!s.error.empty())
        messages.ShowMessage(parent, MessageKind::Error, QString::fromStdString(s.error));
    if (report || !s.incomplete.empty() || !s.skippedItems.empty() || !s.damaged.empty()) {
        ReportSource source;
        if (const BlockDevice* device = session.Device(); device != nullptr) {
            source.imagePath = device->Path();
            source.image = device->Details();
        }
        source.program = "trevik";
        source.version = TREVIK_VERSION;
        source.startTime = started;
        MessageService::ReportActions actions(
            [source, volume, kept, guard, dest](const QString& path) {
                const std::string file = path.toStdString();
                if (const Status ok = CheckReportPath(guard, file, dest); !ok)
                    return QString::fromStdString(ok.error());
                const Status written = WriteDfxmlReport(file, source, *volume, *kept);
                return written ? QString() : QString::fromStdString(written.error());
            });
        actions.destination = destination;
        if (desktop != nullptr)
            actions.openDestination = [parent, &messages, desktop, destination] {
                if (!desktop->OpenFile(destination))
                    messages.ShowMessage(parent, MessageKind::Information,
                                         "No program on this desktop opens folders; the "
                                         "recovered files are in " +
                                             destination);
            };
        ReportCopy(parent, messages, s, actions);
    }
    QStringList written;
    for (const std::string& path : s.written)
        written << destination + "/" + QString::fromStdString(path);
    return written;
}

void ReportMount(QWidget* parent, MessageService& messages, const MountedVolume& volume,
                 const std::vector<std::string>& notes) {
    const RecoveredTree& t = volume.tree;
    uint64_t bytes = 0;
    for (const FileNode& f : t.Files())
        bytes += f.size;
    QStringList lines;
    for (const Warning& w : volume.warnings)
        lines << QString::fromStdString(text::WarningMessage(w));
    for (const std::string& n : notes)
        lines << QString::fromStdString(n);
    QString summary = QString(volume.stopped ? "Stopped: the listing is incomplete. " : "") +
                      QString("Recovered %1 file(s) in %2 folder(s), %3 bytes.")
                          .arg(t.FileCount())
                          .arg(t.FolderCount())
                          .arg(bytes);
    if (volume.log.status != LogStatus::None)
        summary += "\n" + QString::fromStdString(text::LogSummary(volume.log)) + ".";
    summary += lines.isEmpty()
                   ? QString("\nNothing was found unreadable or damaged.")
                   : QString("\n%1 problem(s) were found; what they cost is listed below.")
                         .arg(lines.size());
    messages.ShowReport(parent, summary, lines);
}

} // namespace trevik::shell
