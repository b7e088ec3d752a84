#include "recovery/dfxml_report.h"

#include "format/sector.h"
#include "ufs/names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <utility>

namespace trevik {
namespace {

// Text as XML 1.0 takes it: markup escaped, characters XML cannot hold (controls, bytes
// that are not UTF-8) as U+FFFD; the exact bytes travel in hex beside it where it matters.
std::string Xml(std::string_view text) {
    const std::string shown = DisplayName(text); // valid UTF-8
    std::string out;
    out.reserve(shown.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        const char ch = shown[i];
        const auto c = static_cast<unsigned char>(ch);
        // U+FFFE and U+FFFF are no XML characters (valid UTF-8 holds no surrogates).
        if (c == 0xEF && i + 2 < shown.size() && static_cast<unsigned char>(shown[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(shown[i + 2]) & 0xFE) == 0xBE) {
            out += "\xEF\xBF\xBD";
            i += 2;
            continue;
        }
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            if (c < 0x20 && c != '\t')
                out += "\xEF\xBF\xBD";
            else
                out += ch;
        }
    }
    return out;
}

const char* StatusName(ItemOutcome::Result r) {
    switch (r) {
    case ItemOutcome::Result::Written:
        return "whole";
    case ItemOutcome::Result::WrittenWithZeros:
        return "incomplete";
    case ItemOutcome::Result::Damaged:
        return "damaged";
    default:
        return "skipped";
    }
}

void Element(std::string& out, const char* indent, const char* name, const std::string& value) {
    out += indent;
    out += '<';
    out += name;
    out += '>';
    out += value;
    out += "</";
    out += name;
    out += ">\n";
}

void Run(std::string& out, const char* element, const ByteRun& r) {
    out += "        <";
    out += element;
    out += " file_offset=\"" + std::to_string(r.fileOffset) + "\"";
    if (r.located)
        out += " img_offset=\"" + std::to_string(r.imgOffset) + "\"";
    out += " len=\"" + std::to_string(r.length) + "\"/>\n";
}

std::string Hex(const std::array<uint8_t, 32>& bytes) {
    return HexBytes({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

void FileObject(std::string& out, const RecoveredTree& tree, const CopyOutcome& outcome,
                const ItemOutcome& o) {
    const ItemRecord& r = *outcome.RecordOf(o);
    // The path below the volume's root, as DFXML writes it (no leading slash).
    const std::string_view name = o.folder ? tree.FolderName(o.index) : tree.FileName(o.index);
    const std::string path = ItemPath(tree, o).substr(1);
    out += "    <fileobject>\n";
    Element(out, "      ", "filename", Xml(path));
    Element(out, "      ", "name_type", std::string(1, r.type));
    if (r.type != 'd')
        Element(out, "      ", "filesize", std::to_string(r.size));
    Element(out, "      ", "inode", std::to_string(r.inode));
    if (r.mode != 0)
        Element(out, "      ", "mode", std::to_string(r.mode));
    if (r.mtime > 0)
        Element(out, "      ", "mtime", IsoUtc(r.mtime));
    if (!r.runs.empty()) {
        out += "      <byte_runs>\n";
        for (const ByteRun& b : r.runs)
            Run(out, "byte_run", b);
        out += "      </byte_runs>\n";
    }
    // A digest is of what was written: none for what was not.
    if (r.hashed && o.IsWritten())
        out += "      <hashdigest type=\"sha256\">" + Hex(r.sha256) + "</hashdigest>\n";
    Element(out, "      ", "trevik:status", StatusName(o.result));
    if (const std::string reason = NotWrittenReason(o); !reason.empty())
        Element(out, "      ", "trevik:reason", Xml(reason));
    Element(out, "      ", "trevik:name_hex", HexBytes(name));
    if (const std::string& writtenAs = outcome.WrittenAs(o); o.IsWritten() && !writtenAs.empty()) {
        out += "      <trevik:written_as renamed=\"" + std::string(o.renamed ? "1" : "0") + "\">" +
               Xml(writtenAs) + "</trevik:written_as>\n";
        // The name as the destination holds it, byte for byte: the text above may have had
        // to replace characters XML cannot hold.
        Element(out, "      ", "trevik:written_as_hex", HexBytes(writtenAs));
    }
    if (!r.unreadable.empty()) {
        out += "      <trevik:unreadable_runs>\n";
        for (const ByteRun& b : r.unreadable)
            Run(out, "trevik:run", b);
        out += "      </trevik:unreadable_runs>\n";
    }
    out += "    </fileobject>\n";
}

} // namespace

std::string IsoUtc(int64_t seconds) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

namespace {

// Writes the report through `flush`, a piece at a time.
bool WriteReport(const ReportSource& source, const MountedVolume& volume,
                 const ExtractionSummary& summary, const std::function<bool(std::string&)>& flush) {
    const VolumeGeometry& g = volume.geometry;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
           "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
           "       xmlns:trevik=\"";
    out += kTrevikXmlNamespace;
    out += "\"\n       version=\"1.1.0\">\n";
    out += "  <metadata>\n    <dc:type>Recovery report</dc:type>\n  </metadata>\n";
    out += "  <creator version=\"1.0\">\n";
    Element(out, "    ", "program", Xml(source.program));
    Element(out, "    ", "version", Xml(source.version));
    out += "    <execution_environment>\n";
    if (!source.commandLine.empty())
        Element(out, "      ", "command_line", Xml(source.commandLine));
    Element(out, "      ", "start_time", IsoUtc(source.startTime));
    out += "    </execution_environment>\n  </creator>\n";
    out += "  <source>\n";
    Element(out, "    ", "image_filename", Xml(source.imagePath));
    // What the schema has no place for, about the image, in our namespace.
    out += "    <trevik:image format=\"" + Xml(source.image.format) + "\">\n";
    for (const std::string& f : source.image.files)
        Element(out, "      ", "trevik:file", Xml(f));
    if (!source.image.storedMd5.empty())
        Element(out, "      ", "trevik:stored_md5", source.image.storedMd5);
    if (!source.image.storedSha1.empty())
        Element(out, "      ", "trevik:stored_sha1", source.image.storedSha1);
    for (const auto& [first, count] : source.image.unreadable) {
        out += "      <trevik:acquisition_error first_sector=\"" + std::to_string(first) +
               "\" sectors=\"" + std::to_string(count) + "\"/>\n";
    }
    out += "    </trevik:image>\n";
    out += "  </source>\n";
    out += "  <volume offset=\"" +
           std::to_string(uint64_t{volume.entry.startSector} * kSectorSize) + "\">\n";
    Element(out, "    ", "sector_size", std::to_string(kSectorSize));
    Element(out, "    ", "block_size", std::to_string(g.blockSize));
    Element(out, "    ", "ftype_str", "ufs1");
    Element(out, "    ", "allocated_only", volume.mode == RecoveryMode::Normal ? "1" : "0");
    out += "    <trevik:volume name=\"" + Xml(volume.entry.name) + "\" fragment_size=\"" +
           std::to_string(g.fragmentSize) + "\" mode=\"" +
           (volume.mode == RecoveryMode::Normal ? "normal" : "extensive") + "\"/>\n";
    if (volume.log.status != LogStatus::None) {
        const LogReport& log = volume.log;
        out += "    <trevik:log state=\"" + std::string(LogStatusName(log.status)) +
               "\" transactions=\"" + std::to_string(log.transactions) + "\" deltas=\"" +
               std::to_string(log.deltas) + "\" bytes=\"" + std::to_string(log.bytes) + "\"";
        if (!log.reason.empty())
            out += " reason=\"" + Xml(log.reason) + "\"";
        out += "/>\n";
    }
    for (const ItemOutcome& o : summary.outcome.items) {
        if (summary.outcome.RecordOf(o) == nullptr)
            continue;
        FileObject(out, volume.tree, summary.outcome, o);
        if (out.size() >= (1u << 20) && !flush(out))
            return false;
    }
    out += "  </volume>\n";
    out += "  <trevik:summary files_written=\"" + std::to_string(summary.filesWritten) +
           "\" bytes_written=\"" + std::to_string(summary.bytesWritten) + "\" incomplete=\"" +
           std::to_string(summary.incomplete.size()) + "\" damaged=\"" +
           std::to_string(summary.damaged.size()) + "\" stopped=\"" +
           (summary.stopped ? "1" : "0") + "\"/>\n";
    out += "</dfxml>\n";
    return flush(out);
}

} // namespace

Result<DfxmlReportFile> DfxmlReportFile::Create(const std::string& path) {
    const std::string temp = path + ".partial";
    FILE* f = std::fopen(temp.c_str(), "wbx");
    if (f == nullptr && errno == EEXIST) {
        ::unlink(temp.c_str()); // left by a run that did not finish
        f = std::fopen(temp.c_str(), "wbx");
    }
    if (f == nullptr)
        return Error{"Cannot write " + path + ": " + std::strerror(errno)};
    DfxmlReportFile file;
    file.path_ = path;
    file.file_ = f;
    return file;
}

DfxmlReportFile::DfxmlReportFile(DfxmlReportFile&& other) noexcept
    : path_(std::move(other.path_)), file_(std::exchange(other.file_, nullptr)) {}

DfxmlReportFile::~DfxmlReportFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
        ::unlink((path_ + ".partial").c_str());
    }
}

Status DfxmlReportFile::Write(const ReportSource& source, const MountedVolume& volume,
                              const ExtractionSummary& summary) {
    if (file_ == nullptr)
        return Error{"Cannot write " + path_ + ": already written"};
    const std::string temp = path_ + ".partial";
    int err = 0;
    const bool written = WriteReport(source, volume, summary, [&](std::string& piece) {
        if (std::fwrite(piece.data(), 1, piece.size(), file_) != piece.size()) {
            err = errno;
            return false;
        }
        piece.clear();
        return true;
    });
    if (std::fclose(std::exchange(file_, nullptr)) != 0 && err == 0)
        err = errno;
    if (written && err == 0 && std::rename(temp.c_str(), path_.c_str()) != 0)
        err = errno;
    if (!written || err != 0) {
        ::unlink(temp.c_str());
        return Error{"Cannot write " + path_ + ": " + std::strerror(err != 0 ? err : EIO)};
    }
    return Ok();
}

Status CheckReportPath(const SourceGuard& guard, const std::string& path,
                       const std::string& insideOf) {
    for (const std::string& name : {path, path + ".partial"}) {
        if (Status ok = guard.CheckOutputFile(name, "the report", insideOf); !ok)
            return ok;
    }
    return Ok();
}

Status WriteDfxmlReport(const std::string& path, const ReportSource& source,
                        const MountedVolume& volume, const ExtractionSummary& summary) {
    auto file = DfxmlReportFile::Create(path);
    if (!file)
        return Error{file.error()};
    return file->Write(source, volume, summary);
}

} // namespace trevik
