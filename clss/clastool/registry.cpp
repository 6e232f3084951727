// The exemplars of every persistent class of the library and the status converter, all in
// this one translation unit: C++ orders static initialisation only within a translation unit,
// and the type registry must see the classes in a fixed order. Nothing else runs at load.
//
// Each subsystem adds its definitions under its marker below, keeping this order:
//   core types; Bayesian (tqClassifierTrainParamsBayesian, tq_PDFMultivariateNormal,
//   tq_PDFBinomial, tq_CategoryModelBayesian, tq_ClassifierBayesian); k-nearest-neighbour
//   (tqPatternDistanceMetricNorm, tqClassifierTrainParamsKNN, tq_ClassifierKNN); decision trees
//   (tqDecisionTreeNode, tqDecisionTreeLeaf, tqRangePredicate, tqValidityPredicate,
//   tqComparisonPredicate, tq_ClassifierDecisionTree).
//
// `make` is private in each class; a static member's initializer is in the scope of its class,
// which is what gives these definitions access to it.
#include <typeinfo>

#include "clss/clastool/clastool.h"
#include "platform/exception.h"
#include "platform/persistent.h"

// core types
tq_Instantiator tqClassifierDefs::BadParams::sExemplar(typeid(tqClassifierDefs::BadParams), &make);
tq_Instantiator tqClassifierDefs::BadIndex::sExemplar(typeid(tqClassifierDefs::BadIndex), &make);
tq_Instantiator tqClassifierDefs::BadLabel::sExemplar(typeid(tqClassifierDefs::BadLabel), &make);
tq_Instantiator tqClassifierDefs::BadMethod::sExemplar(typeid(tqClassifierDefs::BadMethod), &make);
tq_Instantiator tqClassifierDefs::NotTrained::sExemplar(typeid(tqClassifierDefs::NotTrained), &make);
tq_Instantiator tqClassifierDefs::NotImplemented::sExemplar(typeid(tqClassifierDefs::NotImplemented), &make);
tq_Instantiator tqClassifierDefs::BadFeatures::sExemplar(typeid(tqClassifierDefs::BadFeatures), &make);
tq_Instantiator tqClassifierDefs::InsufficientTrainData::sExemplar(
    typeid(tqClassifierDefs::InsufficientTrainData), &make);
tq_Instantiator tqFeaturePattern::sExemplar(typeid(tqFeaturePattern), &make);
tq_Instantiator tqClassifierDataProviderMemory::sExemplar(typeid(tqClassifierDataProviderMemory), &make);

// Bayesian classification
tq_Instantiator tqClassifierTrainParamsBayesian::sExemplar(typeid(tqClassifierTrainParamsBayesian), &make);
tq_Instantiator tq_PDFMultivariateNormal::sExemplar(typeid(tq_PDFMultivariateNormal), &make);
tq_Instantiator tq_PDFBinomial::sExemplar(typeid(tq_PDFBinomial), &make);
tq_Instantiator tq_CategoryModelBayesian::sExemplar(typeid(tq_CategoryModelBayesian), &make);
tq_Instantiator tq_ClassifierBayesian::sExemplar(typeid(tq_ClassifierBayesian), &make);

// k-nearest-neighbour classification
tq_Instantiator tqPatternDistanceMetricNorm::sExemplar(typeid(tqPatternDistanceMetricNorm), &make);
tq_Instantiator tqClassifierTrainParamsKNN::sExemplar(typeid(tqClassifierTrainParamsKNN), &make);
tq_Instantiator tq_ClassifierKNN::sExemplar(typeid(tq_ClassifierKNN), &make);

// decision trees
tq_Instantiator tqDecisionTreeNode::sExemplar(typeid(tqDecisionTreeNode), &make);
tq_Instantiator tqDecisionTreeLeaf::sExemplar(typeid(tqDecisionTreeLeaf), &make);
tq_Instantiator tqRangePredicate::sExemplar(typeid(tqRangePredicate), &make);
tq_Instantiator tqValidityPredicate::sExemplar(typeid(tqValidityPredicate), &make);
tq_Instantiator tqComparisonPredicate::sExemplar(typeid(tqComparisonPredicate), &make);
tq_Instantiator tq_ClassifierDecisionTree::sExemplar(typeid(tq_ClassifierDecisionTree), &make);

// status converter: the multivariate-normal kernel's failures become classifier errors.
namespace {
struct ClassifierStatusConverterRegistration {
    ClassifierStatusConverterRegistration() {
        tfRegisterExceptionConverter(kTqClassifierStatusGroup, &tq_classifierStatusConverter);
    }
};
const ClassifierStatusConverterRegistration sConverterRegistration;
}  // namespace
