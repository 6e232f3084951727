#include "clss/clastool/treeclassifier.h"

#include "clss/clastool/errors.h"
#include "clss/clastool/tool.h"
#include "platform/attention.h"
#include "platform/exception.h"

namespace {

[[noreturn]] void refuseAutomatic() {
    throw tqClassifierDefs::NotImplemented("Automatic decision tree training is not implemented.");
}

[[noreturn]] void refuseIncremental() {
    throw tqClassifierDefs::NotImplemented("Incremental decision tree training is not implemented.");
}

}  // namespace

tq_ClassifierDecisionTree::tq_ClassifierDecisionTree() = default;

tq_ClassifierDecisionTree::tq_ClassifierDecisionTree(const tq_ClassifierDecisionTree& other)
    : tq_Classifier(other), decisionTree_(other.decisionTree_) {}

tq_ClassifierDecisionTree& tq_ClassifierDecisionTree::operator=(const tq_ClassifierDecisionTree& other) {
    tq_Classifier::operator=(other);
    decisionTree_ = other.decisionTree_;
    return *this;
}

tq_ClassifierDecisionTree::~tq_ClassifierDecisionTree() = default;

void tq_ClassifierDecisionTree::trainManual(const tqDecisionTree& tree, tqDiagObject* diag,
                                            unsigned long flags) {
    // Copy before untraining: `tree` may be the one this classifier holds.
    tqPtrHandle_const<tqDecisionTree> copy = tree.clone();
    if (isTrained()) untrain();
    decisionTree_ = copy;
    tqDiagObject* destination = tqDiagObject::getRecordingDestination(diag, flags);
    recordTrainInputs_(destination, flags);
    recordTrainDetails_(diag, flags);
    recordTrainResults_(destination, flags);
}

bool tq_ClassifierDecisionTree::operator==(const tq_ClassifierDecisionTree& other) const {
    if (!other.tq_Classifier::isEquivalent(*this)) return false;
    // The base comparison has required the same trained state: without a tree here, the
    // other has none either.
    if (!decisionTree_) return true;
    return decisionTree_->isEqual(*other.decisionTree_);
}

tqPtrHandle<tq_Classifier> tq_ClassifierDecisionTree::clone() const {
    return tqPtrHandle<tq_Classifier>(new tq_ClassifierDecisionTree(*this));
}

bool tq_ClassifierDecisionTree::isEquivalent(const tq_Classifier& other) const {
    const auto* o = dynamic_cast<const tq_ClassifierDecisionTree*>(&other);
    return o && o->operator==(*this);
}

void tq_ClassifierDecisionTree::train_(const tqClassifierDataProvider&, const tqClassifierTrainParams&) {
    refuseAutomatic();
}

void tq_ClassifierDecisionTree::retrain_(const tqClassifierTrainParams&) { refuseAutomatic(); }

void tq_ClassifierDecisionTree::trainStart_(const tqClassifierTrainParams&) { refuseIncremental(); }

void tq_ClassifierDecisionTree::trainIncremental_(const tqFeaturePattern&, long) { refuseIncremental(); }

void tq_ClassifierDecisionTree::untrain_() { decisionTree_.reset(); }

bool tq_ClassifierDecisionTree::isTrained_() const { return !decisionTree_.isNull(); }

void tq_ClassifierDecisionTree::checkRunnable_() const {}

void tq_ClassifierDecisionTree::run_(const tqFeaturePattern& pattern, tqClassifierResult& result) const {
    if (!decisionTree_) throw tqBadPointer();
    // The tree is read-only and held alive by this classifier, so plain pointers suffice on
    // the way down (several threads may run at once; copying handles would make them contend
    // for the shared counts). Only the leaf's result is copied out.
    const tqDecisionTree* tree = decisionTree_.get();
    for (;;) {
        // One check per level, so that a host can abandon a run in a very deep tree.
        tfThrowExceptionOnFailure(tfAttentionCheck());
        if (const auto* leaf = dynamic_cast<const tqDecisionTreeLeaf*>(tree)) {
            result = leaf->classifierResult();
            return;
        }
        const auto* node = dynamic_cast<const tqDecisionTreeNode*>(tree);
        if (!node) throw tqClassifierDefs::NotImplemented("Decision trees can hold only leaves and nodes.");
        const tqPredicateFunction* predicate = node->predicateFunction_.get();
        if (!predicate) throw tqBadPointer();
        const tqDecisionTree* next =
            predicate->outcome(pattern) ? node->trueTree_.get() : node->falseTree_.get();
        if (!next) throw tqBadPointer();
        tree = next;
    }
}

void tq_ClassifierDecisionTree::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tq_ClassifierDecisionTree::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tq_Classifier::dispatchSerialize(ar);
    ar || decisionTree_;
}

tqPersistent* tq_ClassifierDecisionTree::make() { return new tq_ClassifierDecisionTree; }

// --- the tool's decision-tree operations ----------------------------------------------------

void tqClassifierTool::train(const tqDecisionTree& tree, tqDiagObject* diag, unsigned long flags) {
    // Copy before untraining: `tree` may be the one the current classifier holds.
    const tqPtrHandle<tqDecisionTree> copy = tree.clone();
    if (isTrained()) untrain();
    auto* classifier = new tq_ClassifierDecisionTree;
    classifier_->reset(classifier);
    classifier->trainManual(*copy, diag, flags);
}

tqPtrHandle_const<tqDecisionTree> tqClassifierTool::decisionTree() const {
    if (!isTrained())
        throw tqClassifierDefs::NotTrained(
            "Classifier tool must be trained before requesting the decision tree.");
    const auto* classifier = dynamic_cast<const tq_ClassifierDecisionTree*>(classifier_->get());
    if (!classifier)
        throw tqClassifierDefs::BadMethod("Classifier tool was not trained using a decision tree.");
    return classifier->decisionTree();
}
