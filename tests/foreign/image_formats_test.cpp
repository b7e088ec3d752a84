// Expert Witness and split images read as the raw disk they hold, and the DFXML report of a
// copy: parsed by an XML reader, its hashes checked against the files written, its byte runs
// against The Sleuth Kit's istat, and the unreadable runs of an acquisition that failed.

#include "support/test_support.h"

#include <QFile>
#include <QXmlStreamReader>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <libewf.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

constexpr const char* kNs = "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
constexpr const char* kTrevikNs = "urn:x-trevik:recovery-report:1";

testing::CommandResult Cli(const std::string& args) {
    return testing::RunCli(TREVIK_CLI, args);
}

// Writes `raw` as an EWF-E01 set of `segmentBytes` segments through libewf, recording
// `errors` (first sector, count) as sectors the acquisition could not read.
void WriteEwf(const std::string& raw, const std::string& base, uint64_t segmentBytes,
              const std::vector<std::pair<uint64_t, uint64_t>>& errors) {
    const std::string bytes = testing::Slurp(raw);
    libewf_handle_t* h = nullptr;
    ASSERT_EQ(libewf_handle_initialize(&h, nullptr), 1);
    std::string name = base;
    char* names[] = {name.data()};
    ASSERT_EQ(libewf_handle_open(h, names, 1, LIBEWF_OPEN_WRITE, nullptr), 1);
    libewf_handle_set_media_size(h, bytes.size(), nullptr);
    libewf_handle_set_maximum_segment_size(h, segmentBytes, nullptr);
    for (size_t at = 0; at < bytes.size(); at += 65536) {
        const size_t n = std::min<size_t>(65536, bytes.size() - at);
        ASSERT_EQ(libewf_handle_write_buffer(h, bytes.data() + at, n, nullptr),
                  static_cast<ssize_t>(n));
    }
    for (const auto& [first, count] : errors)
        libewf_handle_append_acquiry_error(h, first, count, nullptr);
    libewf_handle_write_finalize(h, nullptr);
    libewf_handle_close(h, nullptr);
    libewf_handle_free(&h, nullptr);
}

// The files below a folder and their bytes.
std::map<std::string, std::string> FilesBelow(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file())
            files[fs::relative(e.path(), root).string()] = testing::Slurp(e.path().string());
    }
    return files;
}

struct ByteRunSeen {
    uint64_t fileOffset = 0, imgOffset = 0, length = 0;
    bool located = false;
};
struct Object {
    std::string filename, nameType, sha256, status, writtenAs;
    uint64_t inode = 0, size = 0;
    std::vector<ByteRunSeen> runs, unreadable;
};
struct Report {
    std::string imageFilename, format, program;
    uint64_t volumeOffset = 0;
    std::vector<Object> objects;
};

ByteRunSeen ReadRun(const QXmlStreamAttributes& a) {
    ByteRunSeen r;
    r.fileOffset = a.value("file_offset").toULongLong();
    r.located = a.hasAttribute("img_offset");
    r.imgOffset = a.value("img_offset").toULongLong();
    r.length = a.value("len").toULongLong();
    return r;
}

// Reads a report with Qt's XML reader; a document that is not well-formed fails the test.
Report Parse(const std::string& path) {
    QFile f(QString::fromStdString(path));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    QXmlStreamReader x(&f);
    Report r;
    Object* current = nullptr;
    bool inUnreadable = false;
    while (!x.atEnd()) {
        x.readNext();
        if (x.isEndElement() && x.name() == u"unreadable_runs")
            inUnreadable = false;
        if (!x.isStartElement())
            continue;
        const QString ns = x.namespaceUri().toString();
        const QString name = x.name().toString();
        if (ns == kNs && name == "dfxml") {
            EXPECT_FALSE(x.attributes().value("version").isEmpty());
        } else if (ns == kNs && name == "program") {
            r.program = x.readElementText().toStdString();
        } else if (ns == kNs && name == "image_filename") {
            r.imageFilename = x.readElementText().toStdString();
        } else if (ns == kTrevikNs && name == "image") {
            r.format = x.attributes().value("format").toString().toStdString();
        } else if (ns == kNs && name == "volume") {
            r.volumeOffset = x.attributes().value("offset").toULongLong();
        } else if (ns == kNs && name == "fileobject") {
            current = &r.objects.emplace_back();
        } else if (current != nullptr && ns == kNs && name == "filename") {
            current->filename = x.readElementText().toStdString();
        } else if (current != nullptr && ns == kNs && name == "name_type") {
            current->nameType = x.readElementText().toStdString();
        } else if (current != nullptr && ns == kNs && name == "filesize") {
            current->size = x.readElementText().toULongLong();
        } else if (current != nullptr && ns == kNs && name == "inode") {
            current->inode = x.readElementText().toULongLong();
        } else if (current != nullptr && ns == kNs && name == "byte_run") {
            current->runs.push_back(ReadRun(x.attributes()));
        } else if (current != nullptr && ns == kNs && name == "hashdigest") {
            EXPECT_EQ(x.attributes().value("type"), u"sha256");
            current->sha256 = x.readElementText().toStdString();
        } else if (current != nullptr && ns == kTrevikNs && name == "status") {
            current->status = x.readElementText().toStdString();
        } else if (current != nullptr && ns == kTrevikNs && name == "written_as") {
            current->writtenAs = x.readElementText().toStdString();
        } else if (current != nullptr && ns == kTrevikNs && name == "unreadable_runs") {
            inUnreadable = true;
        } else if (current != nullptr && inUnreadable && ns == kTrevikNs && name == "run") {
            current->unreadable.push_back(ReadRun(x.attributes()));
        }
    }
    EXPECT_FALSE(x.hasError()) << x.errorString().toStdString();
    return r;
}

std::string Sha256Of(const std::string& path) {
    const auto r = RunCommand("sha256sum " + Quote(path));
    return r.out.substr(0, 64);
}

// A labelled disk whose slice holds a few files, one of them 3 MB over many blocks.
class ImageFormats : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"ewfacquire", "split", "istat", "sha256sum", "md5sum"}) {
            ASSERT_TRUE(testing::HaveProgram(tool))
                << tool << " is needed: run the README's test command";
        }
        dir_ = new TempDir();
        fs::create_directories(dir_->Path() / "root" / "docs");
        std::ofstream(dir_->File("root/small.txt")) << "small\n";
        std::ofstream(dir_->File("root/docs/note.txt")) << "a note\n";
        std::ofstream big(dir_->File("root/docs/big.bin"), std::ios::binary);
        for (int i = 0; i < 3000000; ++i)
            big.put(static_cast<char>(i * 7 + i / 4096));
        big.close();
        raw_ = dir_->File("disk.img");
        const auto made =
            RunCommand(std::string(TREVIK_MKIMAGE) + " -o " + Quote(raw_) +
                       " --heads 16 --sectors 64 --slice 0:2:6:" + Quote(dir_->File("root")) +
                       " --slice 2:5:whole");
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }
    static void TearDownTestSuite() { delete dir_; }

    // ls -r of volume 1 as JSON, without what names the image.
    static json Listing(const std::string& image) {
        const auto r = Cli("ls " + Quote(image) + " --volume 1 -r --json");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return json::parse(r.out);
    }

    static TempDir* dir_;
    static std::string raw_;
};
TempDir* ImageFormats::dir_ = nullptr;
std::string ImageFormats::raw_;

TEST_F(ImageFormats, AnEwfSetFromEwfacquireReadsAsTheRawDiskAndShowsItsStoredHashes) {
    const std::string base = dir_->File("acquired");
    const auto acquired = RunCommand("ewfacquire -u -q -t " + Quote(base) +
                                     " -c none -S 1MiB -d sha1 " + Quote(raw_));
    ASSERT_EQ(acquired.exitCode, 0) << acquired.out << acquired.err;
    ASSERT_TRUE(fs::exists(base + ".E03")) << "several segments expected";
    const std::string e01 = base + ".E01";

    const auto disks = Cli("disks --image " + Quote(e01) + " --json");
    ASSERT_EQ(disks.exitCode, 0) << disks.err;
    const json d = json::parse(disks.out).at("disks").back();
    EXPECT_EQ(d.at("format"), "ewf");
    EXPECT_EQ(d.at("totalSectors").get<uint64_t>() * 512, fs::file_size(raw_));
    EXPECT_EQ(d.at("storedMd5"), RunCommand("md5sum " + Quote(raw_)).out.substr(0, 32));
    EXPECT_EQ(d.at("storedSha1"), RunCommand("sha1sum " + Quote(raw_)).out.substr(0, 40));
    // The raw image has neither.
    const json r = json::parse(Cli("disks --image " + Quote(raw_) + " --json").out);
    EXPECT_EQ(r.at("disks").back().at("format"), "raw");
    EXPECT_TRUE(r.at("disks").back().at("storedMd5").is_null());

    EXPECT_EQ(Cli("volumes " + Quote(e01)).out, Cli("volumes " + Quote(raw_)).out);
    EXPECT_EQ(Listing(e01), Listing(raw_));
    const std::string a = dir_->File("from-ewf"), b = dir_->File("from-raw");
    EXPECT_EQ(Cli("recover " + Quote(e01) + " --volume 1 --to " + Quote(a)).exitCode, 0);
    EXPECT_EQ(Cli("recover " + Quote(raw_) + " --volume 1 --to " + Quote(b)).exitCode, 0);
    EXPECT_EQ(FilesBelow(a), FilesBelow(b));
    EXPECT_EQ(FilesBelow(a).size(), 3u);
}

TEST_F(ImageFormats, AMissingSegmentOrACorruptHeaderIsRefusedByName) {
    const std::string base = dir_->File("cut");
    WriteEwf(raw_, base, 1 << 20, {});
    ASSERT_TRUE(fs::exists(base + ".E04"));
    const std::string e01 = base + ".E01";
    EXPECT_EQ(Cli("volumes " + Quote(e01)).exitCode, 0);
    // One in the middle, then the last one.
    fs::rename(base + ".E02", base + ".E02.away");
    auto r = Cli("volumes " + Quote(e01));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("EWF segment " + base + ".E02 is missing"), std::string::npos) << r.err;
    fs::rename(base + ".E02.away", base + ".E02");
    std::string last;
    for (int n = 2; fs::exists(base + ".E" + (n < 10 ? "0" : "") + std::to_string(n)); ++n)
        last = base + ".E" + (n < 10 ? "0" : "") + std::to_string(n);
    fs::rename(last, last + ".away");
    r = Cli("ls " + Quote(e01) + " --volume 1");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(last + " is missing"), std::string::npos) << r.err;
    fs::rename(last + ".away", last);
    // Naming a later segment says which to name.
    r = Cli("volumes " + Quote(base + ".E02"));
    EXPECT_NE(r.err.find("is segment 2 of its set; name the first segment"), std::string::npos)
        << r.err;
    // A header whose section chain is overwritten.
    {
        std::fstream f(e01, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(13 + 16);
        const char junk[8] = {'\xff', '\xff', '\xff', '\xff', '\xff', '\xff', '\xff', '\x7f'};
        f.write(junk, sizeof junk);
    }
    r = Cli("volumes " + Quote(e01));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("corrupt EWF header"), std::string::npos) << r.err;
}

TEST_F(ImageFormats, SplitImagesReadAsTheRawDiskAndAGapIsRefused) {
    for (const std::string style : {"-d -a 3 --numeric-suffixes=1", "-a 2"}) {
        const TempDir parts;
        const std::string prefix = parts.File("disk.");
        ASSERT_EQ(
            RunCommand("split -b 1M " + style + " " + Quote(raw_) + " " + Quote(prefix)).exitCode,
            0);
        const std::string first = prefix + (style[1] == 'd' ? "001" : "aa");
        const json d = json::parse(Cli("disks --image " + Quote(first) + " --json").out);
        EXPECT_EQ(d.at("disks").back().at("format"), "split");
        EXPECT_EQ(d.at("disks").back().at("totalSectors").get<uint64_t>() * 512,
                  fs::file_size(raw_));
        EXPECT_EQ(Listing(first), Listing(raw_));
        const std::string to = parts.File("out");
        EXPECT_EQ(Cli("recover " + Quote(first) + " --volume 1 --to " + Quote(to)).exitCode, 0);
        const std::string gone = prefix + (style[1] == 'd' ? "003" : "ac");
        fs::remove(gone);
        const auto r = Cli("volumes " + Quote(first));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("segment " + gone + " of the split image is missing"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(ImageFormats, TheReportHoldsEveryItemItsRunsAndTheHashOfWhatWasWritten) {
    const std::string to = dir_->File("reported");
    const std::string report = dir_->File("report.xml");
    const auto r = Cli("recover " + Quote(raw_) + " --volume 1 --to " + Quote(to) + " --report " +
                       Quote(report));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Report rep = Parse(report);
    EXPECT_EQ(rep.program, "trevik-cli");
    EXPECT_EQ(rep.imageFilename, raw_);
    EXPECT_EQ(rep.format, "raw");
    std::set<std::string> names;
    for (const Object& o : rep.objects) {
        names.insert(o.filename);
        EXPECT_EQ(o.status, "whole") << o.filename;
        if (o.nameType != "r")
            continue;
        // The digest is of the file as written.
        EXPECT_EQ(o.sha256, Sha256Of(to + "/" + o.writtenAs)) << o.filename;
        // The runs cover the file in order, and are where The Sleuth Kit says its blocks are.
        uint64_t covered = 0;
        for (const ByteRunSeen& run : o.runs) {
            EXPECT_EQ(run.fileOffset, covered);
            covered += run.length;
        }
        EXPECT_EQ(covered, o.size) << o.filename;
        const auto istat = RunCommand("istat -o " + std::to_string(rep.volumeOffset / 512) + " " +
                                      Quote(raw_) + " " + std::to_string(o.inode));
        ASSERT_EQ(istat.exitCode, 0) << istat.err;
        const auto at = istat.out.find("Direct Blocks:");
        ASSERT_NE(at, std::string::npos);
        std::istringstream frags(istat.out.substr(at + 14));
        uint64_t first = 0;
        frags >> first; // the first fragment of the file's first block
        ASSERT_FALSE(o.runs.empty());
        EXPECT_EQ(o.runs[0].imgOffset, rep.volumeOffset + first * 1024) << o.filename;
    }
    EXPECT_EQ(names, (std::set<std::string>{"small.txt", "docs", "docs/note.txt", "docs/big.bin"}));
    // The file appears whole or not at all: no temporary is left beside it.
    EXPECT_FALSE(fs::exists(report + ".partial"));
}

TEST_F(ImageFormats, WhatTheAcquisitionCouldNotReadIsUnreadableAndItsRunsAreInTheReport) {
    // Where big.bin's data begins, from a report of the sound image.
    const std::string clean = dir_->File("clean.xml");
    ASSERT_EQ(Cli("recover " + Quote(raw_) + " --volume 1 --to " + Quote(dir_->File("clean")) +
                  " --report " + Quote(clean))
                  .exitCode,
              0);
    uint64_t bigAt = 0;
    for (const Object& o : Parse(clean).objects) {
        if (o.filename == "docs/big.bin")
            bigAt = o.runs.at(0).imgOffset;
    }
    ASSERT_NE(bigAt, 0u);
    const uint64_t badSector = bigAt / 512 + 40; // 8 sectors, 20 KiB into the file
    const std::string base = dir_->File("failing");
    WriteEwf(raw_, base, 1 << 20, {{badSector, 8}});
    const std::string to = dir_->File("from-failing");
    const std::string report = dir_->File("failing.xml");
    const auto r = Cli("recover " + Quote(base + ".E01") + " --volume 1 --to " + Quote(to) +
                       " --report " + Quote(report) + " --json");
    EXPECT_EQ(r.exitCode, 1);
    const json s = json::parse(r.out);
    EXPECT_EQ(s.at("incomplete"), json::array({"/docs/big.bin"}));
    const Report rep = Parse(report);
    EXPECT_EQ(rep.format, "ewf");
    bool seen = false;
    for (const Object& o : rep.objects) {
        if (o.filename != "docs/big.bin") {
            EXPECT_TRUE(o.unreadable.empty()) << o.filename;
            continue;
        }
        seen = true;
        EXPECT_EQ(o.status, "incomplete");
        ASSERT_EQ(o.unreadable.size(), 1u);
        EXPECT_EQ(o.unreadable[0].imgOffset, badSector * 512);
        EXPECT_EQ(o.unreadable[0].length, 8u * 512);
        EXPECT_EQ(o.unreadable[0].fileOffset, 40u * 512);
        // The written file has zeros there and the digest says so.
        const std::string written = testing::Slurp(to + "/docs/big.bin");
        EXPECT_EQ(written.substr(40 * 512, 8 * 512), std::string(8 * 512, '\0'));
        EXPECT_EQ(o.sha256, Sha256Of(to + "/docs/big.bin"));
    }
    EXPECT_TRUE(seen);
}

// The sectors ewfverify reports as failing their checksum: "at sector(s): A - B".
std::vector<std::pair<uint64_t, uint64_t>> EwfverifyBadSectors(const std::string& e01) {
    const auto v = RunCommand("ewfverify -q " + Quote(e01));
    std::vector<std::pair<uint64_t, uint64_t>> bad;
    const std::string text = v.out + v.err;
    for (size_t at = text.find("at sector(s): "); at != std::string::npos;
         at = text.find("at sector(s): ", at + 1)) {
        const uint64_t first = std::stoull(text.substr(at + 14));
        const uint64_t last = std::stoull(text.substr(text.find(" - ", at) + 3));
        bad.emplace_back(first, last + 1);
    }
    return bad;
}

// The bad areas of a mapfile this program wrote, as sector ranges.
std::vector<std::pair<uint64_t, uint64_t>> BadInMap(const std::string& map) {
    std::vector<std::pair<uint64_t, uint64_t>> bad;
    std::istringstream in(testing::Slurp(map));
    bool status = false;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        if (!status) {
            status = true;
            continue;
        }
        std::istringstream f(line);
        std::string pos, size, st;
        f >> pos >> size >> st;
        if (st == "-") {
            const uint64_t p = std::stoull(pos, nullptr, 0), n = std::stoull(size, nullptr, 0);
            bad.emplace_back(p / 512, (p + n) / 512);
        }
    }
    return bad;
}

void FlipBytes(const std::string& file, uint64_t at, size_t count) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes(count, '\0');
    f.seekg(static_cast<std::streamoff>(at));
    f.read(bytes.data(), static_cast<std::streamsize>(count));
    for (char& c : bytes)
        c = static_cast<char>(~c);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(bytes.data(), static_cast<std::streamsize>(count));
}

// A chunk whose checksum or compressed data does not verify is unreadable, exactly where
// ewfverify says, never zeros taken for data.
TEST_F(ImageFormats, ChunksThatFailTheirChecksumAreUnreadableWhereEwfverifySays) {
    if (!testing::HaveProgram("ewfverify"))
        GTEST_SKIP() << "ewfverify is needed: run the README's test command";
    // Stored chunks: 16 bytes of big.bin's data flipped where the E01 holds them.
    const std::string stored = dir_->File("flipped");
    ASSERT_EQ(
        RunCommand("ewfacquire -u -q -t " + Quote(stored) + " -c none -S 64MiB " + Quote(raw_))
            .exitCode,
        0);
    const std::string big = testing::Slurp(dir_->File("root/docs/big.bin"));
    const std::string probe = big.substr(1'000'000, 4096);
    const std::string e01 = testing::Slurp(stored + ".E01");
    const size_t at = e01.find(probe);
    ASSERT_NE(at, std::string::npos);
    FlipBytes(stored + ".E01", at + 100, 16);
    const auto expected = EwfverifyBadSectors(stored + ".E01");
    ASSERT_EQ(expected.size(), 1u) << "ewfverify sees one chunk fail";
    const std::string to = dir_->File("from-flipped");
    const std::string map = dir_->File("flipped.map");
    const std::string report = dir_->File("flipped.xml");
    const auto r = Cli("recover " + Quote(stored + ".E01") + " --volume 1 --to " + Quote(to) +
                       " --report " + Quote(report) + " --save-badmap " + Quote(map) + " --json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(json::parse(r.out).at("incomplete"), json::array({"/docs/big.bin"}));
    EXPECT_EQ(BadInMap(map), expected);
    uint64_t unreadable = 0;
    for (const Object& o : Parse(report).objects) {
        for (const ByteRunSeen& u : o.unreadable) {
            EXPECT_EQ(o.filename, "docs/big.bin");
            EXPECT_GE(u.imgOffset, expected[0].first * 512);
            EXPECT_LE(u.imgOffset + u.length, expected[0].second * 512);
            unreadable += u.length;
        }
    }
    EXPECT_EQ(unreadable, (expected[0].second - expected[0].first) * 512);

    // Compressed chunks: 16 bytes flipped inside the sectors section, wherever they fall; a
    // scan reads every sector and meets exactly the ones ewfverify names.
    const std::string packed = dir_->File("packed");
    ASSERT_EQ(
        RunCommand("ewfacquire -u -q -t " + Quote(packed) + " -c best -S 64MiB " + Quote(raw_))
            .exitCode,
        0);
    const uint64_t size = fs::file_size(packed + ".E01");
    FlipBytes(packed + ".E01", size / 2, 16);
    const auto failing = EwfverifyBadSectors(packed + ".E01");
    ASSERT_FALSE(failing.empty()) << "ewfverify sees the flipped chunk";
    const std::string scanMap = dir_->File("packed.map");
    const auto scan =
        Cli("volumes " + Quote(packed + ".E01") + " --scan --save-badmap " + Quote(scanMap));
    EXPECT_EQ(scan.exitCode, 1);
    EXPECT_NE(scan.err.find("could not be read"), std::string::npos) << scan.err;
    EXPECT_EQ(BadInMap(scanMap), failing);
}

} // namespace
} // namespace trevik
