#pragma once

// What the threads of one copy share: the settings, the progress shown, the queue of
// subtrees handed from the walk to the workers, and the rule that keeps a failing disk to
// one reader. The extraction engine is its only user.

#include "recovery/extraction.h"
#include "recovery/item_attributes.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <sys/types.h>

namespace trevik::copying {

// A folder of the destination on the copy's path, from the destination down.
struct Frame {
    UniqueFd fd; // closed for deep frames and reopened from an ancestor when needed
    std::string name;
    ItemAttributes attr;
    bool fresh = false;  // created by this run: nothing in it was there before
    bool isItem = false; // a folder of the volume (the destination itself is not)
    NameClaims names;    // the names this run gave in this folder
};

// The least work worth a thread of its own: smaller subtrees are copied by the walk.
constexpr uint64_t kSmallestTask = 64;

// Folders whose whole subtrees one worker copies: each created by the walk that found it
// (so that its name is settled in order), then filled and given its attributes by the
// worker. Small subtrees that follow one another in the walk travel together.
struct Task {
    struct Folder {
        CopyOutcome made;    // what making it had to say: comes before its subtree's
        bool exists = false; // else it could not be made: nothing to fill
        Frame frame;
        uint32_t inode = 0;
        std::string destPrefix; // its path below the destination, with a trailing '/'
    };
    std::vector<Folder> folders;
    uint64_t weight = 0;
    CopyOutcome* outcome{}; // its place among the run's results (not owned)
};

class SharedRun {
public:
    SharedRun(const MountedVolume& v, SectorReader& r, const ExtractionOptions& o,
              ExtractionControl& c, ExtractionObserver* obs);

    const MountedVolume& volume;
    SectorReader& reader;
    const ExtractionOptions opts;
    ExtractionControl& control;
    ExtractionObserver* const observer; // not owned; may be null
    const bool root;
    const mode_t umask;

    std::atomic<bool> ended{false}; // the destination failed: every worker ends

    // A temporary name no other item of this run (or another run) uses.
    std::string NextTempName() { return pidTag_ + std::to_string(++tempCounter_); }

    // Progress is one account, reported in order under its lock. With several workers, the
    // file shown is the largest of those being read now, and Skip File is that file's.
    // `owner` is the worker, only compared.
    void FileStarted(const void* owner, std::string path, std::string name, uint64_t size);
    // True once for the Skip File the user pressed while this worker's file was shown.
    bool TakeSkip(const void* owner);
    void AddBytes(int64_t n, bool report);
    void FileDone(const void* owner, int64_t correction);
    // What the run will copy in all, counted before it starts.
    void AddToTotal(uint64_t files, uint64_t bytes) {
        progress_.filesTotal += files;
        progress_.bytesTotal += bytes;
    }

    // Once the disk has shown a bad sector, files are read one at a time: parallel reads
    // make a dying drive worse.
    std::mutex oneReader;

    // Subtrees waiting for a worker. The walk pushes, then closes once it is done.
    void Push(Task t);
    void Close();
    // The next subtree, or nothing once the queue is closed and empty.
    std::optional<Task> Pop(bool wait);

private:
    struct InFlight {
        std::string path, name;
        uint64_t size = 0;
    };
    void ShowLargest(); // under progressMutex_

    const std::string pidTag_;
    std::atomic<uint64_t> tempCounter_{0};

    std::map<const void*, InFlight> inFlight_; // each worker's file, by worker
    const void* shownOwner_ = nullptr;         // whose file the progress shows
    std::mutex progressMutex_;
    ExtractionProgress progress_;

    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::deque<Task> queue_;
    bool closed_ = false;
};

} // namespace trevik::copying
