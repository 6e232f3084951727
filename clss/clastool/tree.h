// Decision trees: the model of the decision-tree classifier (treeclassifier.h).
//
// A caller builds a tree by hand, bottom-up: leaves hold the finished classification result
// that a pattern reaching them receives; inner nodes hold a predicate (predicate.h) and two
// subtrees, taken when the predicate is true or false. Whatever a node is given is cloned
// first, so a node never holds an object the caller can still change; subtrees are shared,
// read-only, between nodes and between copies of a tree.
//
// Trees may be very deep (a degenerate tree is a chain): every operation on a whole tree
// (labels, comparison, destruction, archiving) works without recursion, so its depth is
// bounded by memory, not by the stack.
#ifndef CLASTOOL_TREE_H
#define CLASTOOL_TREE_H

#include <vector>

#include "clss/clastool/predicate.h"
#include "clss/clastool/result.h"
#include "platform/archive.h"
#include "platform/handle.h"
#include "platform/persistent.h"

// Abstract tree. Copies start with a fresh reference count.
class tqDecisionTree : public tqPersistent, public tqRepBase {
public:
    tqDecisionTree() = default;
    ~tqDecisionTree() override = default;

    // The category labels the tree can hand out (see the classes for the order).
    virtual std::vector<long> categoryLabels() const = 0;
    // A new copy of the tree object; a node's copy shares its subtrees and predicate.
    virtual tqPtrHandle<tqDecisionTree> clone() const = 0;
    // True when `other` is an equal tree. The base version returns true.
    virtual bool isEqual(const tqDecisionTree& other) const;

    // The length of categoryLabels().
    long numCategories() const;

    void dispatchSerialize(tqArchive& ar) override;

protected:
    tqDecisionTree(const tqDecisionTree&) : tqPersistent(), tqRepBase() {}
    tqDecisionTree& operator=(const tqDecisionTree&) { return *this; }
    void serialize_(tqArchive& ar, unsigned char version);
};

// A leaf: the result handed out for every pattern that ends here.
class tqDecisionTreeLeaf : public tqDecisionTree {
public:
    tqDecisionTreeLeaf(const tqClassifierResult& result = tqClassifierResult());
    tqDecisionTreeLeaf(const tqDecisionTreeLeaf&) = default;
    tqDecisionTreeLeaf& operator=(const tqDecisionTreeLeaf&) = default;

    const tqClassifierResult& classifierResult() const { return classifierResult_; }
    void classifierResult(const tqClassifierResult& result) { classifierResult_ = result; }

    // The labels of the result's category results, in the order the result stores them.
    std::vector<long> categoryLabels() const override;
    tqPtrHandle<tqDecisionTree> clone() const override;
    // False unless `other` is a leaf; then the results compared by their operator==.
    bool isEqual(const tqDecisionTree& other) const override;
    bool operator==(const tqDecisionTree& other) const { return isEqual(other); }
    bool operator!=(const tqDecisionTree& other) const { return !isEqual(other); }

    void dispatchSerialize(tqArchive& ar) override;

protected:
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();
    static tq_Instantiator sExemplar;

    tqClassifierResult classifierResult_;
};

// An inner node: a predicate and the subtrees for its two answers.
class tqDecisionTreeNode : public tqDecisionTree {
public:
    // One new empty leaf as both subtrees, and the default range predicate (full range over
    // measurement 0).
    tqDecisionTreeNode();
    // Stores clones of the true subtree, the false subtree and the predicate, in that order.
    tqDecisionTreeNode(const tqPredicateFunction& predicate, const tqDecisionTree& trueTree,
                       const tqDecisionTree& falseTree);
    // Copies share the source's subtrees and predicate.
    tqDecisionTreeNode(const tqDecisionTreeNode&) = default;
    tqDecisionTreeNode& operator=(const tqDecisionTreeNode&) = default;
    // Releases the subtrees without recursing into them, however deep the tree.
    ~tqDecisionTreeNode() override;

    // Shared references to the stored objects, not copies.
    tqPtrHandle_const<tqDecisionTree> trueTree() const { return trueTree_; }
    tqPtrHandle_const<tqDecisionTree> falseTree() const { return falseTree_; }
    tqPtrHandle_const<tqPredicateFunction> predicateFunction() const { return predicateFunction_; }
    // Each replaces its object by a clone of the argument, releasing the previous one.
    void trueTree(const tqDecisionTree& tree);
    void falseTree(const tqDecisionTree& tree);
    void predicateFunction(const tqPredicateFunction& predicate);

    // The false subtree's labels in their order, then the true subtree's labels not yet
    // listed, in order of first appearance. Not sorted. Throws tqBadPointer when a subtree
    // handle anywhere below is empty.
    std::vector<long> categoryLabels() const override;
    tqPtrHandle<tqDecisionTree> clone() const override;
    // False unless `other` is a node; then the predicates must be equal (isEqual), then the
    // true subtrees, then the false subtrees. Subtrees are compared by structure, so distinct
    // but equal subtrees compare equal. Throws tqBadPointer for an empty predicate or subtree
    // handle that the comparison reaches.
    bool isEqual(const tqDecisionTree& other) const override;
    bool operator==(const tqDecisionTree& other) const { return isEqual(other); }
    bool operator!=(const tqDecisionTree& other) const { return !isEqual(other); }

    void dispatchSerialize(tqArchive& ar) override;

protected:
    void serialize_(tqArchive& ar, unsigned char version);

private:
    // The classifier descends through the handles without copying them: a copy would write
    // the shared reference counts on every level of every run.
    friend class tq_ClassifierDecisionTree;

    static tqPersistent* make();
    static tq_Instantiator sExemplar;

    tqPtrHandle_const<tqDecisionTree> trueTree_;
    tqPtrHandle_const<tqDecisionTree> falseTree_;
    tqPtrHandle_const<tqPredicateFunction> predicateFunction_;
};

// Archive layouts, each level with its version byte 0 (another value throws
// tqArchive::UnknownVersion): tree base, then the tqPersistent part; leaf: base, the result;
// node: base, then the true subtree, the false subtree and the predicate as pointers (shared
// objects stay shared; a null pointer or an object of another type loads as an empty handle).

#endif
