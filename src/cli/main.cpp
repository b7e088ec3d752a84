#include "cli/commands.h"
#include "cli/signals.h"
#include "recovery/recovery_settings.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

namespace {

// An option whose words become a value as they are parsed: the words are checked here
// and nowhere else.
template <typename T>
void AddChoice(CLI::App* cmd, const std::string& name, T& target,
               const std::vector<std::pair<std::string, T>>& words, const std::string& help) {
    std::vector<std::string> names;
    for (const auto& w : words)
        names.push_back(w.first);
    cmd->add_option_function<std::string>(
           name,
           [&target, words](const std::string& given) {
               for (const auto& [word, value] : words) {
                   if (word == given) {
                       target = value;
                       break;
                   }
               }
           },
           help)
        ->check(CLI::IsMember(names));
}

} // namespace

int main(int argc, char** argv) {
    using namespace trevik;
    CLI::App app{"trevik-cli: recover files from Solaris (SPARC) UFS disks, read-only"};
    app.set_version_flag("--version", std::string("trevik-cli ") + TREVIK_VERSION);
    app.require_subcommand(1);

    cli::DisksOptions disks;
    auto* disksCmd = app.add_subcommand("disks", "List the disks of this machine and named images");
    disksCmd->add_option("--image", disks.images, "A disk image file to list after the disks")
        ->allow_extra_args(false);
    disksCmd->add_flag("--json", disks.json, "One JSON document on stdout");

    // Every command that reads a disk takes these.
    auto addReadOptions = [](CLI::App* cmd, cli::ReadOptions& o) {
        cmd->add_option("--sectors-per-read", o.sectorsPerRead,
                        "Sectors per read request of a scan (1-100)")
            ->check(CLI::Range(RecoverySettings::kMinSectorsPerRead,
                               RecoverySettings::kMaxSectorsPerRead));
        cmd->add_option("--retries", o.retries, "Attempts per bad sector after the first (1-10)")
            ->check(CLI::Range(RecoverySettings::kMinRetries, RecoverySettings::kMaxRetries));
        cmd->add_option("--badmap", o.badmap,
                        "GNU ddrescue mapfile: areas not marked finished are not read");
        cmd->add_option("--save-badmap", o.saveBadmap,
                        "Write the bad sectors met as a ddrescue mapfile");
        // A metadevice of Solaris Volume Manager, given by its layout in place of DEVICE.
        auto* concat =
            cmd->add_option("--concat", o.concat, "In place of DEVICE: a concatenation of A,B,...");
        auto* stripe = cmd->add_option("--stripe", o.stripe,
                                       "In place of DEVICE: a stripe over A,B,... (--interlace)");
        auto* raid5 = cmd->add_option(
            "--raid5", o.raid5,
            "In place of DEVICE: a RAID-5 set of columns A,B,... ('missing' for a lost one)");
        auto* mirror =
            cmd->add_option("--mirror", o.mirror, "In place of DEVICE: a mirror of halves A,B");
        auto* disk = cmd->add_option(
            "--disk", o.disks,
            "In place of DEVICE, repeated: a disk of a metadevice whose state database is "
            "on one of them (IMAGE, or c1t1d0=IMAGE to name it)");
        cmd->add_option("--metadevice", o.metadevice,
                        "With --disk: the metadevice to open (d10), when there are several")
            ->needs(disk);
        disk->excludes(concat)->excludes(stripe)->excludes(raid5)->excludes(mirror);
        concat->excludes(stripe)->excludes(raid5)->excludes(mirror);
        stripe->excludes(raid5)->excludes(mirror);
        raid5->excludes(mirror);
        cmd->add_option("--interlace", o.interlace,
                        "Interlace of a stripe or RAID-5 set: bytes, with a k or m suffix");
        cmd->add_option("--start-block", o.startBlock,
                        "Where each component's data begins, in 512-byte blocks (default 0)");
    };

    // --start and --end of a --scan, kept as typed: read the way the window reads them.
    struct RangeText {
        std::string start, end;
        CLI::Option* startOpt = nullptr;
        CLI::Option* endOpt = nullptr;
        cli::ScanRangeOptions* target = nullptr;
    };
    std::vector<std::unique_ptr<RangeText>> ranges;
    auto addScanRange = [&](CLI::App* cmd, CLI::Option* scan, cli::ScanRangeOptions& o) {
        auto r = std::make_unique<RangeText>();
        r->startOpt = cmd->add_option("--start", r->start, "First sector of the scan");
        r->endOpt = cmd->add_option("--end", r->end, "Sector after the last one scanned");
        r->startOpt->needs(scan);
        r->endOpt->needs(scan);
        r->target = &o;
        ranges.push_back(std::move(r));
    };

    cli::VolumesOptions volumes;
    auto* volumesCmd = app.add_subcommand(
        "volumes", "List the Solaris volumes of a disk, from its label or a scan");
    volumesCmd->add_option("DEVICE", volumes.device, "Disk image or block device");
    volumesCmd->add_flag("--guess", volumes.guess,
                         "With a layout: try its component orders and the usual interlaces, "
                         "best first");
    auto* scanFlag = volumesCmd->add_flag("--scan", volumes.scan, "Scan for UFS superblocks");
    addScanRange(volumesCmd, scanFlag, volumes);
    addReadOptions(volumesCmd, volumes);
    volumesCmd->add_flag("--json", volumes.json, "One JSON document on stdout");

    // Commands that mount one volume share these options.
    auto addVolumeOptions = [&](CLI::App* cmd, cli::VolumeCommandOptions& o) {
        addReadOptions(cmd, o);
        cmd->add_option("DEVICE", o.device, "Disk image or block device");
        cmd->add_option("--volume", o.volume, "Volume number, as trevik-cli volumes lists it")
            ->required();
        auto* scan =
            cmd->add_flag("--scan", o.scan, "Find the volumes by a superblock scan, not the label");
        addScanRange(cmd, scan, o);
        AddChoice(cmd, "--mode", o.mode,
                  {{"normal", RecoveryMode::Normal}, {"extensive", RecoveryMode::Extensive}},
                  "normal (default) or extensive");
        AddChoice(cmd, "--log", o.replayLog, {{"replay", true}, {"ignore", false}},
                  "replay (default): show a logging volume with its UFS log replayed; "
                  "ignore: as it stands on the disk");
        cmd->add_flag("--json", o.json, "One JSON document on stdout");
    };
    cli::VolumeCommandOptions info;
    auto* infoCmd = app.add_subcommand("info", "Mount a volume and summarise it");
    addVolumeOptions(infoCmd, info);

    cli::LsOptions ls;
    auto* lsCmd = app.add_subcommand("ls", "List a folder of a mounted volume");
    addVolumeOptions(lsCmd, ls);
    lsCmd->add_flag("-r,--recursive", ls.recursive, "Everything below, depth first");
    auto* lsPath =
        lsCmd->add_option("PATH", ls.path, "Folder or file, '/'-separated from the volume's root");

    cli::FindOptions find;
    auto* findCmd = app.add_subcommand("find", "Search the recovered file names");
    addVolumeOptions(findCmd, find);
    findCmd->add_option("TEXT", find.text, "Text or wildcard pattern to search for");

    cli::RecoverOptions recover;
    auto* recoverCmd = app.add_subcommand("recover", "Copy recovered files and folders out");
    addVolumeOptions(recoverCmd, recover);
    recoverCmd->add_option("--to", recover.to, "Destination folder (created when missing)")
        ->required();
    AddChoice(recoverCmd, "--duplicates", recover.duplicates,
              {{"skip", DuplicatePolicy::Skip},
               {"rename", DuplicatePolicy::Rename},
               {"overwrite", DuplicatePolicy::Overwrite}},
              "skip (default), rename or overwrite");
    recoverCmd->add_option("PATH", recover.paths, "Folders and files to copy (default: all)");
    recoverCmd->add_flag("--raw-names", recover.rawNames,
                         "Write names as the disk's bytes, not as shown (UTF-8)");
    recoverCmd->add_flag("--keep-setid", recover.keepSetid,
                         "Keep set-user-ID, set-group-ID and sticky bits (root only)");
    recoverCmd->add_flag("--keep-owner", recover.keepOwner,
                         "Give items the owner and group the disk records (root only)");
    recoverCmd
        ->add_option("--jobs", recover.jobs,
                     "Files copied at once, over separate folders (default: one per core, at "
                     "most 8; a disk that fails a read is read one file at a time)")
        ->check(CLI::Range(1u, 64u));
    cli::MountOptions mount;
    auto* mountCmd =
        app.add_subcommand("mount", "Show a recovered volume read-only at a folder (FUSE)");
    addVolumeOptions(mountCmd, mount);
    mountCmd->add_option("MOUNTPOINT", mount.mountpoint, "An empty folder");
    mountCmd->add_flag("--foreground", mount.foreground,
                       "Stay in the foreground (Ctrl-C unmounts); else go to the background");
    mountCmd->add_flag("--zero-fill", mount.zeroFill,
                       "Read unreadable parts of files as zeros instead of failing with EIO");
    mountCmd->add_flag("--keep-setid", mount.keepSetid,
                       "Show set-user-ID, set-group-ID and sticky bits (never honoured: the "
                       "mount is nosuid)");
    recoverCmd->add_option("--report", recover.report,
                           "Write a DFXML report of the copy: every item, where its bytes lie on "
                           "the disk, and the SHA-256 of what was written");
    for (int i = 0; i < argc; ++i)
        recover.commandLine += (i == 0 ? "" : " ") + std::string(argv[i]);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return cli::kExitUsage;
    }

    for (const auto& r : ranges) {
        if (!r->startOpt->empty())
            r->target->start = r->start;
        if (!r->endOpt->empty())
            r->target->end = r->end;
    }

    // A layout stands in place of DEVICE: the word the parser took for DEVICE is the
    // command's next argument. Without a layout, DEVICE and the command's own arguments
    // are required.
    auto usage = [](const std::string& what) {
        std::cerr << "trevik-cli: " << what << "\n";
        return cli::kExitUsage;
    };
    auto placeDevice = [&](std::string& device, const cli::LayoutOptions& layout,
                           const std::function<bool(std::string)>& takeNext) {
        if (!layout.Given())
            return device.empty() ? std::optional<int>(usage(
                                        "DEVICE is required (or a layout in its place: --concat, "
                                        "--stripe, --raid5, --mirror or --disk)"))
                                  : std::nullopt;
        if (!device.empty()) {
            if (!takeNext(device))
                return std::optional<int>(
                    usage("a layout (--concat, --stripe, --raid5, --mirror, --disk) stands in "
                          "place of DEVICE: give one or the other"));
            device.clear();
        }
        return std::optional<int>();
    };
    std::optional<int> placed;
    if (volumesCmd->parsed()) {
        placed = placeDevice(volumes.device, volumes, [](const std::string&) { return false; });
        if (!placed && volumes.guess && !volumes.Given())
            placed = usage("--guess needs a layout: --concat, --stripe or --raid5 with the "
                           "components");
        if (!placed && volumes.guess && !volumes.disks.empty())
            placed = usage("--guess tries the orders of --concat, --stripe or --raid5 "
                           "components; with --disk the state database gives the layout");
    } else if (infoCmd->parsed()) {
        placed = placeDevice(info.device, info, [](const std::string&) { return false; });
    } else if (lsCmd->parsed()) {
        placed = placeDevice(ls.device, ls, [&](const std::string& next) {
            if (lsPath->count() != 0)
                return false;
            ls.path = next;
            return true;
        });
    } else if (findCmd->parsed()) {
        placed = placeDevice(find.device, find, [&](const std::string& next) {
            if (!find.text.empty())
                return false;
            find.text = next;
            return true;
        });
        if (!placed && find.text.empty())
            placed = usage("TEXT is required");
    } else if (recoverCmd->parsed()) {
        placed = placeDevice(recover.device, recover, [&](const std::string& next) {
            recover.paths.insert(recover.paths.begin(), next);
            return true;
        });
    } else if (mountCmd->parsed()) {
        placed = placeDevice(mount.device, mount, [&](const std::string& next) {
            if (!mount.mountpoint.empty())
                return false;
            mount.mountpoint = next;
            return true;
        });
        if (!placed && mount.mountpoint.empty())
            placed = usage("MOUNTPOINT is required");
    }
    if (placed)
        return *placed;

    // Whatever the command printed must have reached its reader: a full disk or a closed
    // file behind stdout is a failure, not a silent loss of the listing.
    auto outputWritten = [](int rc) {
        std::cout.flush();
        const int err = std::fflush(stdout) != 0 ? errno : 0;
        if (err != 0 || std::ferror(stdout) != 0 || std::cout.fail()) {
            std::cerr << "trevik-cli: cannot write the output"
                      << (err != 0 ? std::string(": ") + std::strerror(err) : std::string())
                      << "\n";
            return rc == cli::kExitOk ? cli::kExitFailure : rc;
        }
        return rc;
    };
    try {
        if (disksCmd->parsed()) {
            return outputWritten(cli::RunDisks(disks));
        }
        // Reading a disk can take hours: a stop signal ends it cleanly.
        cli::CatchStopSignals();
        int rc;
        if (infoCmd->parsed()) {
            rc = cli::RunInfo(info);
        } else if (lsCmd->parsed()) {
            rc = cli::RunLs(ls);
        } else if (findCmd->parsed()) {
            rc = cli::RunFind(find);
        } else if (recoverCmd->parsed()) {
            rc = cli::RunRecover(recover);
        } else if (mountCmd->parsed()) {
            return cli::RunMount(mount);
        } else {
            rc = cli::RunVolumes(volumes);
        }
        rc = outputWritten(rc);
        if (const int sig = cli::CaughtSignal(); sig != 0) {
            std::cerr << "trevik-cli: stopped by signal " << sig << "\n";
            return cli::kExitSignalBase + sig;
        }
        return rc;
    } catch (const std::exception& e) {
        std::cerr << "trevik-cli: " << e.what() << "\n";
        return cli::kExitFailure;
    }
}
