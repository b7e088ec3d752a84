#include "ufs/directory.h"

#include "ufs/directory_phases.h"

namespace trevik {

void DirectoryWalker::Run(RecoveryMode mode) {
    ExtensiveFindings findings;
    walk_.folders = &findings; // a phase that walks otherwise says so
    for (const auto& phase : PhasesOf(mode, findings)) {
        if (const auto step = phase->Begins()) {
            walk_.Phase(*step);
        }
        // A stop ends the phase it comes in; the phases after it still run.
        walk_.ClearStop();
        phase->Run(walk_);
        stopped_ = stopped_ || walk_.StopRaised();
    }
    walk_.folders = nullptr;
    walk_.ClearStop();
}

} // namespace trevik
