#include "recovery/copy_plan.h"

#include "recovery/copy_run.h"

#include <algorithm>

namespace trevik::copying {

bool Omitted(const RecoveredTree& tree, const ExtractionOptions& options, uint32_t folder) {
    const uint32_t inode = tree.Folders()[folder].inode;
    return options.omitEmptyLostDir && inode == kLostDirInode && tree.ChildFolders(inode).empty() &&
           tree.ChildFiles(inode).empty();
}

CopyPlan::CopyPlan(const RecoveredTree& tree, const ExtractionOptions& options, bool weigh)
    : tree_(tree), options_(options), weigh_(weigh) {
    if (weigh_)
        weight_.assign(tree_.FolderCount(), 0);
}

void CopyPlan::AddFile(uint32_t fileIndex) {
    ++files_;
    bytes_ += tree_.Files()[fileIndex].size;
}

void CopyPlan::AddSubtree(uint32_t folderInode) {
    struct Count final : SubtreeVisitor {
        CopyPlan& plan;
        std::vector<int64_t> path{-1}; // the folders entered, the start folder first
        std::vector<uint32_t> order;   // folders in the order entered
        std::vector<int64_t> parentOf; // by folder, while weighing
        explicit Count(CopyPlan& p) : plan(p) {
            if (plan.weigh_)
                parentOf.assign(plan.tree_.FolderCount(), -1);
        }
        bool EnterFolder(uint32_t f, size_t depth) override {
            if (Omitted(plan.tree_, plan.options_, f))
                return false;
            if (plan.weigh_) {
                path.resize(depth);
                parentOf[f] = path.back();
                path.push_back(f);
                order.push_back(f);
            }
            return true;
        }
        void VisitFile(uint32_t f, size_t depth) override {
            const uint64_t size = plan.tree_.Files()[f].size;
            ++plan.files_;
            plan.bytes_ += size;
            if (plan.weigh_ && path[depth - 1] >= 0)
                plan.weight_[static_cast<size_t>(path[depth - 1])] += 1 + size / 65536;
        }
    } count(*this);
    tree_.WalkSubtree(folderInode, WalkOrder::FilesFirst, count);
    for (auto it = count.order.rbegin(); it != count.order.rend(); ++it) {
        if (count.parentOf[*it] >= 0)
            weight_[static_cast<size_t>(count.parentOf[*it])] += weight_[*it];
    }
}

uint64_t CopyPlan::HandOverAt(unsigned workers) const {
    uint64_t total = 0;
    for (size_t f = 0; f < weight_.size(); ++f) {
        const int64_t parent = tree_.FindFolder(tree_.Folders()[f].parentInode);
        if (parent < 0 || weight_[static_cast<size_t>(parent)] == 0)
            total += weight_[f]; // a top folder of what was chosen
    }
    return std::max<uint64_t>(kSmallestTask, total / (uint64_t{workers} * 4));
}

} // namespace trevik::copying
