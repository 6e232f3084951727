// Feature scores: how well one feature value fits a category, as a number in [0, 1].
//
// A rule (rules.h) holds one feature score per feature and combines their scores. Three
// kinds exist: an ignore score (the feature takes no part), a one-sided piecewise-linear
// curve with a hard cut-off on one side, and a two-sided curve made of a low and a high
// one-sided curve. Feature scores are counted values shared through tqPtrHandle<tqClsFtSc>;
// they are not in the type registry but archive through their own operators, the handle
// form with a type tag.
#ifndef CLASTOOL_FEATURESCORE_H
#define CLASTOOL_FEATURESCORE_H

#include "platform/archive.h"
#include "platform/handle.h"

// Abstract feature score.
class tqClsFtSc : public tqRepBase {
public:
    ~tqClsFtSc() override = default;

    // The score of x. The ignore score returns -1.0, the marker that tells a rule to
    // leave the feature out; a valid curve returns a value between its own y values or 0.
    virtual double score(double x) const = 0;
    // A new object of the same class with the same values; the caller owns it.
    virtual tqClsFtSc* clone() const = 0;
    // True only for an object of exactly the same dynamic type with equal values.
    virtual bool operator==(const tqClsFtSc& other) const = 0;
    bool operator!=(const tqClsFtSc& other) const { return !(*this == other); }

protected:
    tqClsFtSc() = default;
    tqClsFtSc(const tqClsFtSc&) = default;
    tqClsFtSc& operator=(const tqClsFtSc&) { return *this; }
};

// The feature does not take part in the rule: score() is always -1.0.
class tqClassifierFeatureScoreIgnore : public tqClsFtSc {
public:
    tqClassifierFeatureScoreIgnore() = default;
    tqClassifierFeatureScoreIgnore(const tqClassifierFeatureScoreIgnore&) = default;
    tqClassifierFeatureScoreIgnore& operator=(const tqClassifierFeatureScoreIgnore&) = default;

    double score(double x) const override;
    tqClsFtSc* clone() const override;
    bool operator==(const tqClsFtSc& other) const override;
};

// A piecewise-linear curve with a hard cut-off on one side:
//   at and beyond x0 (away from the cut-off) the score is y0;
//   from x0 to x1 it follows the straight line from (x0, y0) to (x1, y1);
//   from x1 to the cut-off xc (both included) it is y1; beyond xc it is 0.
// The cut-off lies above when x0 <= x1 <= xc, below when xc <= x1 < x0 (or x0 = x1 > xc).
// At coinciding points the earlier plateau wins: the score at x1 is y1, also when x1 = x0.
//
// Invariant kept by init and checked again by score: x1 lies between x0 and xc, ends
// included, in either order (x0 < x1 <= xc, x1 = x0, or xc <= x1 < x0; never for a NaN x1).
// Default: x0 0, x1 1, xc 1, y0 1, y1 0 (1 up to 0, falling to 0 at 1, 0 above 1).
class tqClassifierFeatureScoreOneSided : public tqClsFtSc {
public:
    tqClassifierFeatureScoreOneSided();
    tqClassifierFeatureScoreOneSided(const tqClassifierFeatureScoreOneSided&) = default;
    tqClassifierFeatureScoreOneSided& operator=(const tqClassifierFeatureScoreOneSided&) = default;

    // Throws tqClassifierDefs::BadParams, checking in this order, and leaves the object
    // unchanged: y0 outside [0, 1] or NaN "y0 must be between 0 and 1"; y1 likewise
    // "y1 must be between 0 and 1"; x1 not between x0 and xc "x1 must be lie between x0 and xc".
    void init(double x0, double x1, double xc, double y0, double y1);

    double x0() const { return x0_; }
    double x1() const { return x1_; }
    double xc() const { return xc_; }
    double y0() const { return y0_; }
    double y1() const { return y1_; }
    // The x setters store without any check (score reports a broken curve).
    void x0(double v) { x0_ = v; }
    void x1(double v) { x1_ = v; }
    void xc(double v) { xc_ = v; }
    // BadParams "y0 must be between 0 and 1" / "y1 must be between 0 and 1" outside [0, 1].
    void y0(double v);
    void y1(double v);

    // Throws BadParams "x1 must lie between x0 and xc" when the curve is broken.
    double score(double x) const override;
    tqClsFtSc* clone() const override;
    bool operator==(const tqClsFtSc& other) const override;

private:
    friend tqArchive& operator||(tqArchive& ar, tqClassifierFeatureScoreOneSided& s);

    double x0_ = 0.0;
    double x1_ = 1.0;
    double xc_ = 1.0;
    double y0_ = 1.0;
    double y1_ = 0.0;
};

// Two one-sided curves joined: values below `lowest` (the smallest x value of the high
// side) are scored by the low side, the others by the high side.
//
// Invariant kept by init and checked again by score: every x value of the low side is at
// most lowest. Default: low side (x0 0, x1 -1, xc -1, y0 1, y1 0), high side (x0h 0, x1h 1,
// xch 1, y0h 1, y1h 0): a tent, 0 below -1, 1 at 0, 0 above 1.
class tqClassifierFeatureScoreTwoSided : public tqClsFtSc {
public:
    tqClassifierFeatureScoreTwoSided();
    tqClassifierFeatureScoreTwoSided(const tqClassifierFeatureScoreTwoSided&) = default;
    tqClassifierFeatureScoreTwoSided& operator=(const tqClassifierFeatureScoreTwoSided&) = default;

    // The six x values first, then the four y values. Throws BadParams and leaves the object
    // unchanged: a low x value above lowest "x0 > lowest || x1 > lowest || xc > lowest"; then
    // the one-sided checks of the low side, then those of the high side (whose messages also
    // name y0 and y1).
    void init(double x0, double x1, double xc, double x0h, double x1h, double xch, double y0, double y1,
              double y0h, double y1h);

    double x0() const { return low_.x0(); }
    double x1() const { return low_.x1(); }
    double xc() const { return low_.xc(); }
    double y0() const { return low_.y0(); }
    double y1() const { return low_.y1(); }
    double x0h() const { return high_.x0(); }
    double x1h() const { return high_.x1(); }
    double xch() const { return high_.xc(); }
    double y0h() const { return high_.y0(); }
    double y1h() const { return high_.y1(); }
    const tqClassifierFeatureScoreOneSided& Low() const { return low_; }
    const tqClassifierFeatureScoreOneSided& High() const { return high_; }

    // The x setters store without any check.
    void x0(double v) { low_.x0(v); }
    void x1(double v) { low_.x1(v); }
    void xc(double v) { low_.xc(v); }
    void x0h(double v) { high_.x0(v); }
    void x1h(double v) { high_.x1(v); }
    void xch(double v) { high_.xc(v); }
    // BadParams "y0 must be between 0 and 1", "y1 ...", "y0h ...", "y1h ..." outside [0, 1].
    void y0(double v);
    void y1(double v);
    void y0h(double v);
    void y1h(double v);

    // Throws BadParams "x1 must lie between x0 and xc" for a broken side (low side first) and
    // "Bad x values" when a low x value lies above lowest.
    double score(double x) const override;
    tqClsFtSc* clone() const override;
    bool operator==(const tqClsFtSc& other) const override;

private:
    friend tqArchive& operator||(tqArchive& ar, tqClassifierFeatureScoreTwoSided& s);

    tqClassifierFeatureScoreOneSided low_;
    tqClassifierFeatureScoreOneSided high_;
};

// Archive forms, without version bytes. Ignore: nothing. OneSided: x0, x1, xc, y0, y1 as
// doubles. TwoSided: the low side, then the high side. Loading stores the values unchecked.
tqArchive& operator||(tqArchive& ar, tqClassifierFeatureScoreIgnore& s);
tqArchive& operator||(tqArchive& ar, tqClassifierFeatureScoreOneSided& s);
tqArchive& operator||(tqArchive& ar, tqClassifierFeatureScoreTwoSided& s);

// A handle with a type tag (unsigned long) before the object's own form: 5682 Ignore,
// 33385 OneSided, 59820 TwoSided. Storing an empty handle throws tqBadPointer; storing a
// feature score of another class throws BadParams "This kind of feature score cannot be
// archived.". Loading an unknown tag reads nothing more and leaves the handle as it was.
tqArchive& operator||(tqArchive& ar, tqPtrHandle<tqClsFtSc>& h);

// The smallest archived handle is a tag alone; bounds the counts of loaded vectors.
template <>
struct tq_ArchiveMinBytes<tqPtrHandle<tqClsFtSc>> {
    static constexpr std::size_t value = 8;
};

#endif
