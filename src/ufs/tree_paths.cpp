#include "ufs/tree_paths.h"

#include "ufs/names.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

namespace trevik {

std::string FolderPath(const RecoveredTree& tree, uint32_t folderInode, char separator,
                       bool display) {
    std::vector<std::string_view> parts;
    uint32_t inode = folderInode;
    // Bounded by the folder count: a parent chain that loops cannot spin forever.
    for (uint32_t steps = 0; inode != kRootInode && steps <= tree.FolderCount(); ++steps) {
        const int64_t i = tree.FindFolder(inode);
        if (i < 0)
            break;
        parts.push_back(tree.FolderName(static_cast<size_t>(i)));
        inode = tree.Folders()[static_cast<size_t>(i)].parentInode;
    }
    std::string out;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (!out.empty())
            out.push_back(separator);
        out += display ? DisplayName(*it) : std::string(*it);
    }
    return out;
}

std::string FolderItemPath(const RecoveredTree& tree, uint32_t folderInode) {
    return "/" + FolderPath(tree, folderInode, '/', true);
}

std::string ChildPath(const RecoveredTree& tree, uint32_t parentInode, std::string_view rawName) {
    std::string path = FolderItemPath(tree, parentInode);
    if (path.size() > 1)
        path += '/';
    return path + DisplayName(rawName);
}

std::string FileItemPath(const RecoveredTree& tree, uint32_t fileIndex) {
    return ChildPath(tree, tree.Files()[fileIndex].parentInode, tree.FileName(fileIndex));
}

namespace {

// A search of one path: from (folder inode, offset in the path) on, depth first.
class PathSearch {
public:
    PathSearch(const RecoveredTree& tree, std::string_view path) : tree_(tree), path_(path) {}

    std::optional<PathTarget> From(uint32_t inode, size_t pos, PathTarget here) {
        std::vector<Step> stack{{inode, Skip(pos), here}};
        while (!stack.empty()) {
            const Step s = stack.back();
            stack.pop_back();
            if (s.pos >= path_.size())
                return s.target;
            if (s.target.kind == PathTarget::File || !tried_.insert({s.inode, s.pos}).second)
                continue; // a file has nothing below it; this state failed before
            // Pushed in reverse of the order they are tried.
            std::vector<Step> next;
            Candidates(s, next);
            for (auto it = next.rbegin(); it != next.rend(); ++it)
                stack.push_back(*it);
        }
        return std::nullopt;
    }

private:
    struct Step {
        uint32_t inode;
        size_t pos;
        PathTarget target;
    };

    size_t Skip(size_t pos) const {
        while (pos < path_.size() && path_[pos] == '/')
            ++pos;
        return pos;
    }

    // The children whose shown name stands at `s.pos` and ends there at a '/' or the end
    // of the path: shortest name first, a folder before a file of the same name.
    void Candidates(const Step& s, std::vector<Step>& out) {
        const std::string_view rest = path_.substr(s.pos);
        struct Match {
            size_t length;
            int kind; // 0 folder, 1 file
            uint32_t index;
        };
        std::vector<Match> matches;
        auto consider = [&](std::string_view raw, int kind, uint32_t index) {
            const std::string shown = DisplayName(raw);
            if (shown.empty() || shown.size() > rest.size() || rest.compare(0, shown.size(), shown))
                return;
            if (shown.size() < rest.size() && rest[shown.size()] != '/')
                return;
            matches.push_back({shown.size(), kind, index});
        };
        for (uint32_t f : tree_.ChildFolders(s.inode))
            consider(tree_.FolderName(f), 0, f);
        for (uint32_t f : tree_.ChildFiles(s.inode))
            consider(tree_.FileName(f), 1, f);
        std::stable_sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) {
            return std::pair(a.length, a.kind) < std::pair(b.length, b.kind);
        });
        for (const Match& m : matches) {
            const size_t after = Skip(s.pos + m.length);
            if (m.kind == 0)
                out.push_back(
                    {tree_.Folders()[m.index].inode, after, {PathTarget::Folder, m.index}});
            else
                out.push_back({s.inode, after, {PathTarget::File, m.index}});
        }
    }

    const RecoveredTree& tree_;
    std::string_view path_;
    std::set<std::pair<uint32_t, size_t>> tried_;
};

} // namespace

std::optional<PathTarget> ResolvePath(const RecoveredTree& tree, std::string_view path) {
    PathSearch search(tree, path);
    return search.From(kRootInode, 0, {});
}

} // namespace trevik
