// The classifier lifecycle, its hook order and the classifier tool, observed through a recording
// technique defined here.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/attention.h"
#include "tests/test_support.h"

namespace {

using Log = std::vector<std::string>;

// How the recording technique behaves; carried from its parameters to the classifier.
struct Behaviour {
    bool failNew = false;          // newClassifier_ throws
    bool nullNew = false;          // newClassifier_ returns null
    bool failTrain = false;        // train_ throws BadParams
    bool notRunnable = false;      // checkRunnable_ throws InsufficientTrainData
    bool foreignNotReady = false;  // checkRunnable_ throws a non-classifier exception
    bool startTrains = false;      // trainStart_ leaves the classifier trained
    bool failClone = false;        // clone throws
};

class RecordingParams : public tqClassifierTrainParams {
public:
    RecordingParams(Log* log, int value, Behaviour behaviour = {})
        : log_(log), value_(value), behaviour_(behaviour) {}
    tqPtrHandle<tqClassifierTrainParams> clone() const override {
        return tqPtrHandle<tqClassifierTrainParams>(new RecordingParams(*this));
    }
    int value() const { return value_; }

protected:
    bool isEqual_(const tqClassifierTrainParams& other) const override {
        const auto* p = dynamic_cast<const RecordingParams*>(&other);
        return p && p->value_ == value_;
    }
    bool isSameTechnique_(const tqClassifierTrainParams& other) const override {
        return dynamic_cast<const RecordingParams*>(&other) != nullptr;
    }
    tq_Classifier* newClassifier_() const override;

private:
    Log* log_;
    int value_;
    Behaviour behaviour_;
};

// Where a host's diagnostics routing sends every record in the routing test.
tqDiagObject gRouted;

std::string ptr(const void* p) { return p == &gRouted ? "routed" : p ? "diag" : "null"; }

// Logs every hook with the diagnostics pointer and flags it received.
class RecordingClassifier : public tq_Classifier {
public:
    RecordingClassifier(Log* log, Behaviour behaviour) : log_(log), behaviour_(behaviour) {}

    tqPtrHandle<tq_Classifier> clone() const override {
        log_->push_back("clone");
        if (behaviour_.failClone) throw std::runtime_error("cannot copy");
        return tqPtrHandle<tq_Classifier>(new RecordingClassifier(*this));
    }
    // A decision-tree-like training without parameters.
    void trainManually() {
        untrain();
        trained_ = true;
    }

protected:
    void train_(const tqClassifierDataProvider&, const tqClassifierTrainParams&) override {
        log_->push_back("train_");
        if (behaviour_.failTrain) throw tqClassifierDefs::BadParams("technique refused");
        trained_ = true;
    }
    void retrain_(const tqClassifierTrainParams&) override { log_->push_back("retrain_"); }
    void trainStart_(const tqClassifierTrainParams&) override {
        log_->push_back("trainStart_");
        trained_ = behaviour_.startTrains;
    }
    void trainIncremental_(const tqFeaturePattern&, long label) override {
        log_->push_back("trainIncremental_ " + std::to_string(label));
    }
    void untrain_() override {
        log_->push_back("untrain_");
        trained_ = false;
    }
    bool isTrained_() const override { return trained_; }
    void checkRunnable_() const override {
        log_->push_back("checkRunnable_");
        if (behaviour_.notRunnable) throw tqClassifierDefs::InsufficientTrainData("not runnable");
        if (behaviour_.foreignNotReady) throw tqBadPointer();
    }
    void run_(const tqFeaturePattern&, tqClassifierResult& result) const override {
        log_->push_back("run_");
        result = tqClassifierResult({tqClassifierCategoryResult(7, 1.0, 1.0, 0.0)}, 0.0);
    }

private:
    using D = tqDiagObject*;
    using F = unsigned long;
    void recordTrainInputs_(D d, F f) const override { rec("recordTrainInputs_", d, f); }
    void recordTrainDetails_(D d, F f) const override { rec("recordTrainDetails_", d, f); }
    void recordTrainResults_(D d, F f) const override { rec("recordTrainResults_", d, f); }
    void recordRunInputs_(D d, F f, const tqFeaturePattern&) const override { rec("recordRunInputs_", d, f); }
    void recordRunDetails_(D d, F f) const override { rec("recordRunDetails_", d, f); }
    void recordRunResults_(D d, F f, const tqFeaturePattern&, const tqClassifierResult&) const override {
        rec("recordRunResults_", d, f);
    }
    void rec(const char* hook, D d, F f) const {
        log_->push_back(std::string(hook) + " " + ptr(d) + " " + std::to_string(f));
    }

    Log* log_;
    Behaviour behaviour_;
    bool trained_ = false;
};

tq_Classifier* RecordingParams::newClassifier_() const {
    if (log_) log_->push_back("newClassifier_");
    if (behaviour_.failNew) throw std::runtime_error("cannot");
    if (behaviour_.nullNew) return nullptr;
    return new RecordingClassifier(log_, behaviour_);
}

const char* const kNotTrainedRun = "Classifier tool must be trained before running.";
const char* const kNotTrainedRetrain = "Classifier tool must be trained before retraining.";
const char* const kNotTrainedIncremental = "Classifier tool must be trained before incremental training.";
const char* const kNotTrainedParams =
    "Classifier tool must be trained before requesting the training parameters.";
const char* const kOtherTechnique = "Cannot retrain with a different classification technique.";
const char* const kNotImplemented =
    "The classification method specified by the training parameters is not implemented.";

using tqtest::Call;

class ClassifierLifecycle : public ::testing::Test {
protected:
    Log log;
    tqDiagObject diag;
    tqClassifierDataProviderMemory data;
    tqFeaturePattern pattern{{1.0}};
    tqClassifierResult result;
    RecordingClassifier classifier{&log, {}};
};

int value(const tq_Classifier& c) { return dynamic_cast<const RecordingParams&>(*c.trainParams()).value(); }

// Refused calls on classifiers and tools in every state: each refuses before any hook runs.
TEST_F(ClassifierLifecycle, RefusedCallsReachNoHook) {
    RecordingParams params(&log, 1);
    const tqClassifierTrainParamsKNN other(1);  // another technique
    RecordingClassifier manual(&log, {}), trained(&log, {}), started(&log, {});
    manual.trainManually();
    trained.train(data, params, nullptr, 0);
    started.trainStart(params);  // this technique's start leaves it untrained
    tqClassifierTool empty, knn, treeTool;
    knn.train(tq_TotalDataGenerator({2, tq_ClassDataGenerator({{0.0, 1.0}}, 10)}).generateData(),
              tqClassifierTrainParamsKNN(3));
    const tqClassifierResult four({tqClassifierCategoryResult(4, 1.0, 1.0, 0.0)}, 0.0);
    const tqDecisionTreeLeaf leaf(four);
    treeTool.train(leaf);
    // The tree classifier refuses the training it does not have; automatic training and a start
    // untrain first (the base does), the others keep the tree.
    tq_ClassifierDecisionTree tree, automatic, treeStarted;
    for (tq_ClassifierDecisionTree* c : {&tree, &automatic, &treeStarted}) c->trainManual(leaf, nullptr, 0);
    const char* const noIncremental = "Incremental decision tree training is not implemented.";
    const double x = 1.0;
    const auto batch = [&](const tqClassifierTool& tool, const double* values, std::size_t stride) {
        tool.runBatch(tqPatternRows{values, nullptr, 1, 1, stride}, &result);
    };
    log.clear();
    const tqtest::Raises notTrained = tqtest::raises<tqClassifierDefs::NotTrained>,
                         method = tqtest::raises<tqClassifierDefs::BadMethod>,
                         bad = tqtest::raises<tqClassifierDefs::BadParams>,
                         notImplemented = tqtest::raises<tqClassifierDefs::NotImplemented>;
    tqtest::expectRefusals(
        {
            {[&] { classifier.run(pattern, result, &diag, 0); }, notTrained, kNotTrainedRun},
            {[&] { started.trainIncremental(pattern, 0, nullptr, 0); }, notTrained, kNotTrainedIncremental},
            {[&] { classifier.retrain(params, &diag, 0); }, notTrained, kNotTrainedRetrain},
            {[&] { classifier.trainParams(); }, notTrained, kNotTrainedParams},
            {[&] { manual.trainParams(); }, method, "Classifier tool was not automatically trained."},
            {[&] { manual.retrain(params, nullptr, 0); }, method, kOtherTechnique},
            {[&] { trained.retrain(other, nullptr, 0); }, method, kOtherTechnique},
            {[&] { batch(empty, &x, 1); }, notTrained, kNotTrainedRun},
            {[&] { batch(knn, &x, 0); }, bad, "Pattern rows must be at least as long as their dimension."},
            {[&] { batch(knn, nullptr, 1); }, bad,
             "Batch classification needs pattern rows and room for their results."},
            {[&] { tree.trainIncremental(pattern, 0, nullptr, 0); }, notImplemented, noIncremental},
            {[&] { tree.retrain(other, nullptr, 0); }, method, kOtherTechnique},
            {[&] { automatic.train(data, other, nullptr, 0); }, notImplemented,
             "Automatic decision tree training is not implemented."},
            {[&] { treeStarted.trainStart(other); }, notImplemented, noIncremental},
            {[&] { empty.decisionTree(); }, notTrained,
             "Classifier tool must be trained before requesting the decision tree."},
            {[&] { knn.decisionTree(); }, method, "Classifier tool was not trained using a decision tree."},
        },
        [&] { return log.empty() && !classifier.isTrained() && value(trained) == 1 && tree.isTrained(); });
    EXPECT_FALSE(automatic.isTrained() || treeStarted.isTrained());
    classifier.untrain();
    EXPECT_TRUE(log.empty());
    // The batch checks once per block, the tree once per level; an abandoned run keeps the result.
    batch(knn, &x, 1);
    const tqClassifierResult kept = result;
    tfRequestAbort();
    EXPECT_THROW(batch(knn, &x, 1), tqAborted);
    EXPECT_THROW(treeTool.run(pattern, result), tqAborted);
    tfClearAbortRequest();
    EXPECT_EQ(result, kept);
    // Rows of dimension 0 need no values; their batch was once refused for the null pointer.
    std::vector<tqClassifierResult> results(2);
    treeTool.runBatch(tqPatternRows{nullptr, nullptr, 2, 0, 0}, results.data());
    EXPECT_EQ(results, std::vector<tqClassifierResult>(2, four));
}

// While it lives, a host's routing sends every record to gRouted and adds 100 to the flags.
struct Rerouted {
    tqDiagObject::Route previous = tqDiagObject::setRecordingRoute([](tqDiagObject*, unsigned long& flags) {
        flags += 100;
        return &gRouted;
    });
    ~Rerouted() { tqDiagObject::setRecordingRoute(previous); }
};

// Training records around train_ (retraining untrains first); running records around run_ and does
// not repeat the ready check; incremental training and retraining record nothing; trainStart
// untrains first; a failed train_ records no more. A routing that redirects and rewrites the flags
// tells the destination from the caller's object: only the details hook of training gets the
// caller's object, every hook the rewritten flags. The tool makes a classifier when it has none
// and checks readiness after training, unless the parameters say not to.
TEST_F(ClassifierLifecycle, EachCallRunsItsHooksInOrder) {
    RecordingParams first(&log, 1), second(&log, 2), unchecked(&log, 1);
    unchecked.throwIfNotReady(false);
    RecordingClassifier starting(&log, Behaviour{false, false, false, false, false, true}),
        failing(&log, Behaviour{false, false, true}), routed(&log, {});
    tqClassifierTool tool;
    const struct {
        Call call;
        Log hooks;
    } steps[] = {
        {[&] { classifier.train(data, first, &diag, 5); },
         {"recordTrainInputs_ diag 5", "train_", "recordTrainDetails_ diag 5", "recordTrainResults_ diag 5"}},
        {[&] { classifier.train(data, first, nullptr, 9); },
         {"untrain_", "recordTrainInputs_ null 9", "train_", "recordTrainDetails_ null 9",
          "recordTrainResults_ null 9"}},
        {[&] { classifier.trainIncremental(pattern, 4, &diag, 1); }, {"trainIncremental_ 4"}},
        {[&] { classifier.run(pattern, result, &diag, 3); },
         {"recordRunInputs_ diag 3", "run_", "recordRunDetails_ diag 3", "recordRunResults_ diag 3"}},
        {[&] { classifier.retrain(second, &diag, 0); }, {"retrain_"}},
        {[&] { starting.trainStart(second); }, {"trainStart_"}},
        {[&] { starting.trainStart(first); }, {"untrain_", "trainStart_"}},
        {[&] { EXPECT_THROW_MSG(failing.train(data, first, nullptr, 0), tqClassifierDefs::BadParams,
                                "technique refused"); },
         {"recordTrainInputs_ null 0", "train_"}},
        {[&] {
             Rerouted route;
             routed.train(data, first, &diag, 5);
             routed.run(pattern, result, &diag, 3);
         },
         {"recordTrainInputs_ routed 105", "train_", "recordTrainDetails_ diag 105", "recordTrainResults_ routed 105",
          "recordRunInputs_ routed 103", "run_", "recordRunDetails_ routed 103", "recordRunResults_ routed 103"}},
        {[&] { tool.train(data, first, nullptr, 2); },
         {"newClassifier_", "recordTrainInputs_ null 2", "train_", "recordTrainDetails_ null 2",
          "recordTrainResults_ null 2", "checkRunnable_"}},
        {[&] { tool.train(data, unchecked, nullptr, 0); },
         {"untrain_", "newClassifier_", "recordTrainInputs_ null 0", "train_", "recordTrainDetails_ null 0",
          "recordTrainResults_ null 0"}},
    };
    for (const auto& step : steps) {
        log.clear();
        step.call();
        EXPECT_EQ(log, step.hooks);
    }
    EXPECT_EQ(result.categoryResults().at(0).categoryLabel(), 7);
    EXPECT_EQ(value(classifier), 2);  // retrain replaced the parameters, trainStart too
    ASSERT_TRUE(starting.isTrained());
    EXPECT_EQ(value(starting), 1);
    EXPECT_FALSE(failing.isTrained());
}

// ---- the tool ----

// Parameters that cannot make a classifier leave the tool without one: then the tool's own message.
// A classifier that is not ready untrains the tool, but only when it says so with a classifier error.
TEST_F(ClassifierLifecycle, ToolWithoutAReadyClassifier) {
    tqClassifierTool tool;
    for (const Behaviour behaviour : {Behaviour{true}, Behaviour{false, true}}) {
        tool.train(data, RecordingParams(&log, 1), nullptr, 0);
        const RecordingParams failing(&log, 1, behaviour);
        EXPECT_THROW_MSG(tool.train(data, failing, nullptr, 0), tqClassifierDefs::NotImplemented,
                         kNotImplemented);
        EXPECT_FALSE(tool.isTrained());
        EXPECT_THROW_MSG(tool.retrain(failing, nullptr, 0), tqClassifierDefs::NotTrained, kNotTrainedRetrain);
    }
    RecordingParams notRunnable(&log, 1, Behaviour{false, false, false, true});
    EXPECT_THROW_MSG(tool.train(data, notRunnable, nullptr, 0), tqClassifierDefs::InsufficientTrainData,
                     "not runnable");
    EXPECT_FALSE(tool.isTrained());
    notRunnable.throwIfNotReady(false);
    tool.train(data, notRunnable, nullptr, 0);
    notRunnable.throwIfNotReady(true);  // the same check after retrain
    EXPECT_THROW_MSG(tool.retrain(notRunnable, nullptr, 0), tqClassifierDefs::InsufficientTrainData,
                     "not runnable");
    EXPECT_FALSE(tool.isTrained());
    // The tool still holds its (untrained) classifier, which gives the message now.
    EXPECT_THROW_MSG(tool.run(pattern, result, nullptr, 0), tqClassifierDefs::NotTrained, kNotTrainedRun);
    RecordingParams foreign(&log, 1, Behaviour{false, false, false, false, true});
    EXPECT_THROW(tool.train(data, foreign, nullptr, 0), tqBadPointer);
    EXPECT_TRUE(tool.isTrained());
}

// Copies own their classifier (leaks are the sanitizers' to find); assignment clones only a
// trained source, and not itself. An empty tool stores and loads as empty; an unknown version
// says where it was met.
TEST_F(ClassifierLifecycle, ToolCopiesAssignmentsAndTheArchiveOfAnEmptyTool) {
    tqClassifierTool tool, untrained, target, loaded;
    tool.train(data, RecordingParams(&log, 1), nullptr, 0);
    tqClassifierTool copy(tool);
    EXPECT_TRUE(copy == tool);
    copy.untrain();
    EXPECT_TRUE(tool.isTrained());
    untrained.train(data, RecordingParams(&log, 1), nullptr, 0);
    untrained.untrain();
    target = tool;
    EXPECT_TRUE(target == tool);
    // Regression: a clone that failed left the target empty instead of as it was.
    Behaviour failClone;
    failClone.failClone = true;
    tqClassifierTool refusing;
    refusing.train(data, RecordingParams(&log, 2, failClone), nullptr, 0);
    EXPECT_THROW(target = refusing, std::runtime_error);
    EXPECT_TRUE(target == tool);
    target = untrained;
    // Empty, not merely untrained: the tool's own message.
    EXPECT_THROW_MSG(target.trainParams(), tqClassifierDefs::NotTrained, kNotTrainedParams);
    log.clear();
    auto& self = tool;
    tool = self;
    EXPECT_TRUE(log.empty());  // no clone
    EXPECT_TRUE(tool.isTrained());
    ASSERT_TRUE(tqtest::roundTrips(target, loaded));
    tqtest::expectArchiveRefusals(tqtest::storeBytes(target), [] { return tqClassifierTool(); },
                                  {{0, "clss/clastool/clastool", 897}});
}

}  // namespace
