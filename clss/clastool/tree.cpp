#include "clss/clastool/tree.h"

#include <set>
#include <unordered_set>
#include <utility>

#include "platform/exception.h"

// Trees are walked with explicit stacks rather than recursion: a caller-built or loaded tree
// can be a chain many thousands of levels deep, and a recursive walk would exhaust the stack.

namespace {

using TreeHandle = tqPtrHandle_const<tqDecisionTree>;

const tqDecisionTree& follow(const TreeHandle& h) {
    if (!h) throw tqBadPointer();
    return *h;
}

}  // namespace

// --- base ---------------------------------------------------------------------------------

bool tqDecisionTree::isEqual(const tqDecisionTree&) const { return true; }

long tqDecisionTree::numCategories() const { return static_cast<long>(categoryLabels().size()); }

void tqDecisionTree::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqDecisionTree::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPersistent::dispatchSerialize(ar);
}

// --- leaf ---------------------------------------------------------------------------------

tqDecisionTreeLeaf::tqDecisionTreeLeaf(const tqClassifierResult& result) : classifierResult_(result) {}

std::vector<long> tqDecisionTreeLeaf::categoryLabels() const {
    std::vector<long> labels;
    for (const auto& category : classifierResult_.categoryResults())
        labels.push_back(category.categoryLabel());
    return labels;
}

tqPtrHandle<tqDecisionTree> tqDecisionTreeLeaf::clone() const {
    return tqPtrHandle<tqDecisionTree>(new tqDecisionTreeLeaf(*this));
}

bool tqDecisionTreeLeaf::isEqual(const tqDecisionTree& other) const {
    const auto* o = dynamic_cast<const tqDecisionTreeLeaf*>(&other);
    return o && classifierResult_ == o->classifierResult_;
}

void tqDecisionTreeLeaf::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqDecisionTreeLeaf::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqDecisionTree::dispatchSerialize(ar);
    ar || classifierResult_;
}

tqPersistent* tqDecisionTreeLeaf::make() { return new tqDecisionTreeLeaf(tqClassifierResult()); }

// --- node ---------------------------------------------------------------------------------

tqDecisionTreeNode::tqDecisionTreeNode() : predicateFunction_(new tqRangePredicate) {
    trueTree_.reset(new tqDecisionTreeLeaf);
    falseTree_ = trueTree_;
}

tqDecisionTreeNode::tqDecisionTreeNode(const tqPredicateFunction& predicate, const tqDecisionTree& trueTree,
                                       const tqDecisionTree& falseTree)
    : trueTree_(trueTree.clone()), falseTree_(falseTree.clone()), predicateFunction_(predicate.clone()) {}

tqDecisionTreeNode::~tqDecisionTreeNode() {
    // Dropping the last handle to a chain would destroy it one nested destructor call per
    // level. Instead, a subtree of which this destructor holds the only reference is first
    // robbed of its own subtrees, so that it dies without recursing; what it held is handled
    // the same way. A subtree someone else still holds is merely released.
    std::vector<TreeHandle> pending;
    pending.push_back(std::move(trueTree_));
    pending.push_back(std::move(falseTree_));
    while (!pending.empty()) {
        TreeHandle tree = std::move(pending.back());
        pending.pop_back();
        if (!tree || tree->refCount() != 1) continue;
        if (const auto* node = dynamic_cast<const tqDecisionTreeNode*>(tree.get())) {
            // Sole owner of a heap object that is about to be destroyed: unlinking it is safe.
            auto* last = const_cast<tqDecisionTreeNode*>(node);
            pending.push_back(std::move(last->trueTree_));
            pending.push_back(std::move(last->falseTree_));
        }
    }
}

void tqDecisionTreeNode::trueTree(const tqDecisionTree& tree) { trueTree_ = tree.clone(); }

void tqDecisionTreeNode::falseTree(const tqDecisionTree& tree) { falseTree_ = tree.clone(); }

void tqDecisionTreeNode::predicateFunction(const tqPredicateFunction& predicate) {
    predicateFunction_ = predicate.clone();
}

std::vector<long> tqDecisionTreeNode::categoryLabels() const {
    // A node lists its false subtree's labels as they are, then those of its true subtree not
    // listed yet. Unfolded, that is the labels of the leaves in depth-first order, false side
    // first, each listed once, except that the first leaf reached (at the end of the false
    // sides from here) is listed as it is. So one walk with one set of listed labels makes the
    // list, in time and memory that follow the distinct subtrees and labels: no subtree's own
    // list is kept (a chain of n levels would keep lists of n^2 / 2 labels), and a subtree
    // met again adds nothing.
    std::vector<long> labels;
    std::unordered_set<long> listed;
    std::unordered_set<const tqDecisionTree*> walked;
    std::vector<const tqDecisionTree*> pending{this};
    bool first = true;
    while (!pending.empty()) {
        const tqDecisionTree* tree = pending.back();
        pending.pop_back();
        if (!walked.insert(tree).second) continue;
        if (const auto* node = dynamic_cast<const tqDecisionTreeNode*>(tree)) {
            pending.push_back(&follow(node->trueTree_));
            pending.push_back(&follow(node->falseTree_));
            continue;
        }
        for (long label : tree->categoryLabels())
            if (listed.insert(label).second || first) labels.push_back(label);
        first = false;
    }
    return labels;
}

tqPtrHandle<tqDecisionTree> tqDecisionTreeNode::clone() const {
    return tqPtrHandle<tqDecisionTree>(new tqDecisionTreeNode(*this));
}

bool tqDecisionTreeNode::isEqual(const tqDecisionTree& other) const {
    // Depth-first over pairs of subtrees, in the order a recursive comparison would take:
    // predicates, then the true pair, then the false pair. Subtree handles are checked only
    // when their pair is reached, so an empty handle behind an earlier difference is not
    // reported. A pair of nodes already compared (subtrees shared within a tree) is equal,
    // or the walk would have stopped, and is not compared again.
    std::vector<std::pair<const TreeHandle*, const TreeHandle*>> pending;
    std::set<std::pair<const tqDecisionTree*, const tqDecisionTree*>> compared;
    const tqDecisionTree* a = this;
    const tqDecisionTree* b = &other;
    for (;;) {
        const auto* nodeA = dynamic_cast<const tqDecisionTreeNode*>(a);
        if (!nodeA) {
            if (!a->isEqual(*b)) return false;
        } else if (compared.insert({a, b}).second) {
            const auto* nodeB = dynamic_cast<const tqDecisionTreeNode*>(b);
            if (!nodeB) return false;
            if (!nodeA->predicateFunction_ || !nodeB->predicateFunction_) throw tqBadPointer();
            if (!nodeA->predicateFunction_->isEqual(*nodeB->predicateFunction_)) return false;
            pending.push_back({&nodeA->falseTree_, &nodeB->falseTree_});
            pending.push_back({&nodeA->trueTree_, &nodeB->trueTree_});
        }
        if (pending.empty()) return true;
        const auto next = pending.back();
        pending.pop_back();
        if (!*next.first || !*next.second) throw tqBadPointer();
        a = next.first->get();
        b = next.second->get();
    }
}

void tqDecisionTreeNode::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqDecisionTreeNode::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqDecisionTree::dispatchSerialize(ar);
    // The archive does not nest pointers without bound: subtrees beyond its inline depth are
    // written after the enclosing object and filled after it when loading. So nothing here
    // looks into the subtrees it loads; they may still be empty defaults at this point.
    ar || trueTree_ || falseTree_ || predicateFunction_;
}

tqPersistent* tqDecisionTreeNode::make() { return new tqDecisionTreeNode; }
