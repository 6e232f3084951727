// Training parameters: the abstract base whose concrete type selects a classification technique.
#ifndef CLASTOOL_TRAINPARAMS_H
#define CLASTOOL_TRAINPARAMS_H

#include "platform/archive.h"
#include "platform/handle.h"
#include "platform/persistent.h"

class tq_Classifier;
class tqClassifierTool;

// Base of every training-parameters class. The concrete type handed to tqClassifierTool::train
// chooses the technique; the four hooks let the framework copy and compare parameters, recognise
// their technique and make an untrained classifier of it.
//
// Both bases are virtual so that a concrete parameters class holds one persistence subobject and
// one reference count. Parameter objects are shared through counted handles and never changed
// once a classifier has cloned them.
class tqClassifierTrainParams : public virtual tqPersistent, public virtual tqRepBase {
public:
    // throwIfNotReady() is true.
    tqClassifierTrainParams();
    ~tqClassifierTrainParams() override;

    // Whether the tool checks, after train and retrain, that the new classifier can run, and
    // untrains itself (rethrowing the classifier's error) when it cannot. Not archived and not
    // compared.
    bool throwIfNotReady() const { return throwIfNotReady_; }
    void throwIfNotReady(bool value) { throwIfNotReady_ = value; }

    // An independent copy of the most-derived object.
    virtual tqPtrHandle<tqClassifierTrainParams> clone() const = 0;

protected:
    // Version byte 0, then the persistence base; no field of this level is stored.
    void dispatchSerialize(tqArchive& ar) override;

    // Copying constructs or keeps the virtual bases and copies no field of this level: a copy
    // starts with throwIfNotReady() true, and assignment leaves the target's flag as it was.
    tqClassifierTrainParams(const tqClassifierTrainParams& other);
    tqClassifierTrainParams& operator=(const tqClassifierTrainParams& other);

    // True when `other` holds the same parameter values. The base returns true; a concrete
    // class returns false for another class and then compares its own fields.
    virtual bool isEqual_(const tqClassifierTrainParams& other) const;
    // True when `other` selects the same technique (decided by its class alone).
    virtual bool isSameTechnique_(const tqClassifierTrainParams& other) const = 0;
    // A new, untrained heap classifier of this technique; the caller owns it.
    virtual tq_Classifier* newClassifier_() const = 0;

    // Throws tqArchive::UnknownVersion for a version other than 0.
    void serialize_(tqArchive& ar, unsigned char version);

private:
    friend class tq_Classifier;
    friend class tqClassifierTool;

    bool throwIfNotReady_ = true;
};

#endif
