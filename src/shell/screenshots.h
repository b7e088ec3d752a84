#pragma once

#include <QString>
#include <QStringList>

namespace trevik::shell {

// Walks the wizard on the given image (disk, volume, Normal mount, browse, a folder) and
// saves the window at each step as DIR/NN-step.png. Returns a process exit code.
int RenderWizardSteps(const QString& dir, const QStringList& images);

} // namespace trevik::shell
