#include "clss/clastool/tool.h"

#include "clss/clastool/errors.h"

tqClassifierTool::tqClassifierTool() : classifier_(new tqPtrHandle<tq_Classifier>()) {}

tqClassifierTool::tqClassifierTool(const tqClassifierTool& other) : tqClassifierTool() { *this = other; }

tqClassifierTool::~tqClassifierTool() {
    // untrain() may call into a technique; a destructor must not let anything escape.
    try {
        untrain();
    } catch (...) {
    }
    delete classifier_;
}

tqClassifierTool& tqClassifierTool::operator=(const tqClassifierTool& other) {
    if (this == &other) return *this;
    classifier_->reset();
    if (other.isTrained()) *classifier_ = (*other.classifier_)->clone();
    return *this;
}

void tqClassifierTool::train(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params,
                             tqDiagObject* diag, unsigned long flags) {
    // `params` may be the current classifier's: hold them while it goes.
    const tqPtrHandle_const<tqClassifierTrainParams> kept =
        *classifier_ ? (*classifier_)->keptParams_() : tqPtrHandle_const<tqClassifierTrainParams>();
    if (isTrained()) untrain();
    try {
        classifier_->reset();
        tq_Classifier* made = params.newClassifier_();
        if (!made) throw tqClassifierDefs::NotImplemented();
        classifier_->reset(made);
    } catch (...) {
        classifier_->reset();
        throw tqClassifierDefs::NotImplemented(
            "The classification method specified by the training parameters is not implemented.");
    }
    (*classifier_)->train(data, params, diag, flags);
    checkReady_(params);
}

void tqClassifierTool::retrain(const tqClassifierTrainParams& params, tqDiagObject* diag,
                               unsigned long flags) {
    if (!*classifier_)
        throw tqClassifierDefs::NotTrained("Classifier tool must be trained before retraining.");
    (*classifier_)->retrain(params, diag, flags);
    checkReady_(params);
}

void tqClassifierTool::checkReady_(const tqClassifierTrainParams& params) {
    if (!params.throwIfNotReady()) return;
    try {
        (*classifier_)->checkRunnable_();
    } catch (const tqClassifierDefs::Errors&) {
        untrain();
        throw;
    }
}

void tqClassifierTool::run(const tqFeaturePattern& pattern, tqClassifierResult& result, tqDiagObject* diag,
                           unsigned long flags) const {
    if (!*classifier_) throw tqClassifierDefs::NotTrained("Classifier tool must be trained before running.");
    (*classifier_)->run(pattern, result, diag, flags);
}

void tqClassifierTool::untrain() {
    if (*classifier_) (*classifier_)->untrain();
}

bool tqClassifierTool::isTrained() const { return *classifier_ && (*classifier_)->isTrained(); }

tqPtrHandle_const<tqClassifierTrainParams> tqClassifierTool::trainParams() const {
    if (!*classifier_)
        throw tqClassifierDefs::NotTrained(
            "Classifier tool must be trained before requesting the training parameters.");
    return (*classifier_)->trainParams();
}

bool tqClassifierTool::operator==(const tqClassifierTool& other) const {
    const bool trained = isTrained();
    if (trained != other.isTrained()) return false;
    if (!trained) return true;
    return (*classifier_)->isEquivalent(**other.classifier_);
}

tqArchive& operator||(tqArchive& ar, tqClassifierTool& tool) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version, "clss/clastool/clastool", 897);
    ar || *tool.classifier_;
    return ar;
}
