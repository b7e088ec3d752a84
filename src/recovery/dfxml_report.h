#pragma once

#include "disk/block_device.h"
#include "format/result.h"
#include "recovery/extraction.h"
#include "recovery/source_guard.h"
#include "ufs/mount.h"

#include <cstdio>
#include <string>

namespace trevik {

// Where a report's data came from and what made it.
struct ReportSource {
    std::string imagePath;
    ImageDetails image;
    std::string program; // "trevik-cli" or "trevik"
    std::string version;
    std::string commandLine; // empty when there is none
    int64_t startTime = 0;   // seconds since 1970, UTC
};

// The project's namespace for what DFXML has no element for.
inline constexpr const char* kTrevikXmlNamespace = "urn:x-trevik:recovery-report:1";

// Writes a Digital Forensics XML report of a copy made with ExtractionOptions::records:
// the source image, the volume, and one fileobject per item with its byte runs on the disk
// and the SHA-256 of what was written; the item's status, its name's bytes, the image's
// format and the unreadable runs in elements of kTrevikXmlNamespace. Written as it is made
// (no copy of it is held in memory); the file appears whole or not at all.
// A report file made before the copy it reports on, so that a folder that cannot take it
// is known before any work: created as PATH.partial, renamed to PATH once written whole,
// removed when it never is.
class DfxmlReportFile {
public:
    static Result<DfxmlReportFile> Create(const std::string& path);
    DfxmlReportFile(DfxmlReportFile&& other) noexcept;
    DfxmlReportFile& operator=(DfxmlReportFile&&) = delete;
    ~DfxmlReportFile();
    // Writes the report (see WriteDfxmlReport), once.
    Status Write(const ReportSource& source, const MountedVolume& volume,
                 const ExtractionSummary& summary);

private:
    DfxmlReportFile() = default;
    std::string path_;
    FILE* file_ = nullptr; // owned
};

// Whether a report may go to `path`: neither it nor its temporary (PATH.partial) may be
// what `guard` protects, or lie inside `insideOf` (the copy's destination).
Status CheckReportPath(const SourceGuard& guard, const std::string& path,
                       const std::string& insideOf);

Status WriteDfxmlReport(const std::string& path, const ReportSource& source,
                        const MountedVolume& volume, const ExtractionSummary& summary);

// "2026-12-09T04:18:26Z" for seconds since 1970.
std::string IsoUtc(int64_t seconds);

} // namespace trevik
