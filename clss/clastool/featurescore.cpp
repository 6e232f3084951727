#include "clss/clastool/featurescore.h"

#include <typeinfo>

#include "clss/clastool/errors.h"

namespace {

// Written comparisons rather than a range helper, so that a NaN fails the test.
bool isUnit(double v) { return v >= 0.0 && v <= 1.0; }

void requireUnit(double v, const char* message) {
    if (!isUnit(v)) throw tqClassifierDefs::BadParams(message);
}

// x1 lies between x0 and xc, ends included, in either order. Every comparison with a NaN is
// false, so a NaN x1 never lies between.
bool liesBetween(double x0, double x1, double xc) {
    return (x1 > x0 && x1 <= xc) || x1 == x0 || (x1 < x0 && x1 >= xc);
}

// The smallest x value of a high side, taken in the order x0h, x1h, xch.
double lowestOf(double x0h, double x1h, double xch) {
    double lowest = x0h;
    if (x1h < lowest) lowest = x1h;
    if (xch < lowest) lowest = xch;
    return lowest;
}

bool anyAbove(double x0, double x1, double xc, double lowest) {
    return x0 > lowest || x1 > lowest || xc > lowest;
}

// Tags of the handle form; part of the archive format, never to be changed.
constexpr unsigned long kTagIgnore = 5682;
constexpr unsigned long kTagOneSided = 33385;
constexpr unsigned long kTagTwoSided = 59820;

}  // namespace

// --- ignore -------------------------------------------------------------------------------

double tqClassifierFeatureScoreIgnore::score(double) const { return -1.0; }

tqClsFtSc* tqClassifierFeatureScoreIgnore::clone() const { return new tqClassifierFeatureScoreIgnore(*this); }

bool tqClassifierFeatureScoreIgnore::operator==(const tqClsFtSc& other) const {
    return typeid(other) == typeid(*this);
}

// --- one-sided ----------------------------------------------------------------------------

tqClassifierFeatureScoreOneSided::tqClassifierFeatureScoreOneSided() { init(0.0, 1.0, 1.0, 1.0, 0.0); }

void tqClassifierFeatureScoreOneSided::init(double x0, double x1, double xc, double y0, double y1) {
    requireUnit(y0, "y0 must be between 0 and 1");
    requireUnit(y1, "y1 must be between 0 and 1");
    // This message differs from the one score gives; callers match either text.
    if (!liesBetween(x0, x1, xc)) throw tqClassifierDefs::BadParams("x1 must be lie between x0 and xc");
    x0_ = x0;
    x1_ = x1;
    xc_ = xc;
    y0_ = y0;
    y1_ = y1;
}

void tqClassifierFeatureScoreOneSided::y0(double v) {
    requireUnit(v, "y0 must be between 0 and 1");
    y0_ = v;
}

void tqClassifierFeatureScoreOneSided::y1(double v) {
    requireUnit(v, "y1 must be between 0 and 1");
    y1_ = v;
}

double tqClassifierFeatureScoreOneSided::score(double x) const {
    // The x setters do not check, so a broken curve is reported here rather than scored.
    if (!liesBetween(x0_, x1_, xc_)) throw tqClassifierDefs::BadParams("x1 must lie between x0 and xc");
    // The line through (x0, y0) and (x1, y1), in this evaluation order so that results are the
    // same bit for bit wherever the curve is scored. The plateau tests below come first, so it
    // is only reached strictly between x0 and x1, where x1 != x0.
    const auto ramp = [&] { return ((x1_ * y0_ - x0_ * y1_) - (y0_ - y1_) * x) / (x1_ - x0_); };
    if (!(x0_ > x1_) && !(x1_ > xc_)) {  // cut-off above
        if (x > xc_) return 0.0;
        if (x >= x1_) return y1_;
        if (x <= x0_) return y0_;
        return ramp();
    }
    // cut-off below: xc <= x1 < x0, or x0 = x1 > xc
    if (x < xc_) return 0.0;
    if (x <= x1_) return y1_;
    if (x >= x0_) return y0_;
    return ramp();
}

tqClsFtSc* tqClassifierFeatureScoreOneSided::clone() const {
    return new tqClassifierFeatureScoreOneSided(*this);
}

bool tqClassifierFeatureScoreOneSided::operator==(const tqClsFtSc& other) const {
    if (typeid(other) != typeid(*this)) return false;
    const auto& o = static_cast<const tqClassifierFeatureScoreOneSided&>(other);
    return x0_ == o.x0_ && x1_ == o.x1_ && xc_ == o.xc_ && y0_ == o.y0_ && y1_ == o.y1_;
}

// --- two-sided ----------------------------------------------------------------------------

tqClassifierFeatureScoreTwoSided::tqClassifierFeatureScoreTwoSided() {
    init(0.0, -1.0, -1.0, 0.0, 1.0, 1.0, 1.0, 0.0, 1.0, 0.0);
}

void tqClassifierFeatureScoreTwoSided::init(double x0, double x1, double xc, double x0h, double x1h,
                                            double xch, double y0, double y1, double y0h, double y1h) {
    if (anyAbove(x0, x1, xc, lowestOf(x0h, x1h, xch)))
        throw tqClassifierDefs::BadParams("x0 > lowest || x1 > lowest || xc > lowest");
    // The low side is built aside and stored last, so that a failure of either side leaves
    // the whole object unchanged (the high side's init changes nothing when it throws).
    tqClassifierFeatureScoreOneSided low;
    low.init(x0, x1, xc, y0, y1);
    high_.init(x0h, x1h, xch, y0h, y1h);
    low_ = low;
}

void tqClassifierFeatureScoreTwoSided::y0(double v) { low_.y0(v); }
void tqClassifierFeatureScoreTwoSided::y1(double v) { low_.y1(v); }
void tqClassifierFeatureScoreTwoSided::y0h(double v) {
    requireUnit(v, "y0h must be between 0 and 1");
    high_.y0(v);
}
void tqClassifierFeatureScoreTwoSided::y1h(double v) {
    requireUnit(v, "y1h must be between 0 and 1");
    high_.y1(v);
}

double tqClassifierFeatureScoreTwoSided::score(double x) const {
    if (!liesBetween(low_.x0(), low_.x1(), low_.xc()) || !liesBetween(high_.x0(), high_.x1(), high_.xc()))
        throw tqClassifierDefs::BadParams("x1 must lie between x0 and xc");
    const double lowest = lowestOf(high_.x0(), high_.x1(), high_.xc());
    if (anyAbove(low_.x0(), low_.x1(), low_.xc(), lowest)) throw tqClassifierDefs::BadParams("Bad x values");
    return x < lowest ? low_.score(x) : high_.score(x);
}

tqClsFtSc* tqClassifierFeatureScoreTwoSided::clone() const {
    return new tqClassifierFeatureScoreTwoSided(*this);
}

bool tqClassifierFeatureScoreTwoSided::operator==(const tqClsFtSc& other) const {
    if (typeid(other) != typeid(*this)) return false;
    const auto& o = static_cast<const tqClassifierFeatureScoreTwoSided&>(other);
    return low_ == o.low_ && high_ == o.high_;
}

// --- archive forms ------------------------------------------------------------------------

tqArchive& operator||(tqArchive& ar, tqClassifierFeatureScoreIgnore&) { return ar; }

tqArchive& operator||(tqArchive& ar, tqClassifierFeatureScoreOneSided& s) {
    return ar || s.x0_ || s.x1_ || s.xc_ || s.y0_ || s.y1_;
}

tqArchive& operator||(tqArchive& ar, tqClassifierFeatureScoreTwoSided& s) { return ar || s.low_ || s.high_; }

namespace {

template <class Score>
void loadTagged(tqArchive& ar, tqPtrHandle<tqClsFtSc>& h) {
    // Filled before the handle takes it: a truncated input leaves the handle as it was.
    tqPtrHandle<Score> loaded(new Score);
    ar || *loaded;
    h = loaded;
}

}  // namespace

tqArchive& operator||(tqArchive& ar, tqPtrHandle<tqClsFtSc>& h) {
    if (ar.isStoring()) {
        tqClsFtSc& score = *h;  // an empty handle throws tqBadPointer
        const std::type_info& type = typeid(score);
        unsigned long tag = 0;
        if (type == typeid(tqClassifierFeatureScoreIgnore))
            tag = kTagIgnore;
        else if (type == typeid(tqClassifierFeatureScoreOneSided))
            tag = kTagOneSided;
        else if (type == typeid(tqClassifierFeatureScoreTwoSided))
            tag = kTagTwoSided;
        else
            throw tqClassifierDefs::BadParams("This kind of feature score cannot be archived.");
        ar || tag;
        if (tag == kTagIgnore) return ar || static_cast<tqClassifierFeatureScoreIgnore&>(score);
        if (tag == kTagOneSided) return ar || static_cast<tqClassifierFeatureScoreOneSided&>(score);
        return ar || static_cast<tqClassifierFeatureScoreTwoSided&>(score);
    }
    unsigned long tag = 0;
    ar || tag;
    switch (tag) {
        case kTagIgnore:
            loadTagged<tqClassifierFeatureScoreIgnore>(ar, h);
            break;
        case kTagOneSided:
            loadTagged<tqClassifierFeatureScoreOneSided>(ar, h);
            break;
        case kTagTwoSided:
            loadTagged<tqClassifierFeatureScoreTwoSided>(ar, h);
            break;
        default:
            break;  // an unknown tag: nothing more is read
    }
    return ar;
}
