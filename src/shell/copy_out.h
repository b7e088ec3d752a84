#pragma once

#include "recovery/extraction.h"
#include "recovery/session.h"
#include "shell/message_service.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace trevik::shell {

// Copies `items` (or everything) of the mounted volume into `destination` under the Saving
// dialog, then reports what was written and every file that is incomplete or was skipped.
// With `desktop`, the report offers to open the destination folder. Gives the chosen items
// the destination now holds, as the paths they were written under, in the order chosen.
QStringList CopyOut(QWidget* parent, MessageService& messages, Session& session,
                    const std::vector<ExtractItem>& items, bool all, const QString& destination,
                    bool report = true, DesktopService* desktop = nullptr);

// After a mount: what the tree holds and, when anything was lost, what.
// `notes`: what reading the device had to do besides (a metadevice's rebuilt columns, ...).
void ReportMount(QWidget* parent, MessageService& messages, const MountedVolume& volume,
                 const std::vector<std::string>& notes = {});

} // namespace trevik::shell
