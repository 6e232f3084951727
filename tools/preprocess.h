// Changes to the measurements that a model carries with it: scaling, and filling missing cells
// (imputation). Both are fitted on the training rows, stored in the model file and applied to
// every row the model classifies, so that the classifier always sees measurements prepared the
// same way.
#ifndef CLASTOOL_TOOLS_PREPROCESS_H
#define CLASTOOL_TOOLS_PREPROCESS_H

#include <cstddef>
#include <string>
#include <vector>

#include "tools/csv.h"

namespace cli {

struct Preprocessing {
    enum class Scale { None, Standard, MinMax };
    enum class Impute { None, Mean, Median };

    Scale scale = Scale::None;
    Impute impute = Impute::None;
    // Per measurement: a measured value x becomes (x - centers[j]) / scales[j] (empty without scaling).
    std::vector<double> centers, scales;
    // Per measurement: the value of a missing cell, before scaling (empty without imputation).
    std::vector<double> fills;

    bool active() const { return scale != Scale::None || impute != Impute::None; }

    // Fits on the labelled ones among `rows` of `table` (categories[r] >= 0). Standard scaling
    // centres on the mean and divides by the standard deviation, min-max maps the smallest value
    // to 0 and the largest to 1; a column with one value throughout is only centred. Only measured
    // cells count. Throws InputError naming the column when it cannot be fitted (no measured cell
    // to impute from, a spread beyond the range of a double).
    static Preprocessing fit(Scale scale, Impute impute, const DataTable& table,
                             const std::vector<std::size_t>& rows, const std::vector<long>& categories);

    // Row r of `table`, prepared: its measurements into out[0, width) and their validity into
    // valid[0, width) (1 valid, 0 missing).
    void apply(const DataTable& table, std::size_t r, double* out, unsigned char* valid) const;
    // The same for a row of `width` measurements held elsewhere; `rowValid` null: all measured.
    void apply(const double* row, const unsigned char* rowValid, std::size_t width, double* out,
               unsigned char* valid) const;
    // The first measured value of such a row that scaling takes beyond the range of a double (a
    // value some 1.8e308 spreads from the centre, or a spread so small), or -1 for none.
    long unscalable(const double* row, const unsigned char* rowValid, std::size_t width) const;
};

// "none", "standard", "minmax"; "none", "mean", "median".
std::string scaleName(Preprocessing::Scale scale);
std::string imputeName(Preprocessing::Impute impute);
// The option values; false for an unknown word.
bool scaleNamed(const std::string& name, Preprocessing::Scale& scale);
bool imputeNamed(const std::string& name, Preprocessing::Impute& impute);

}  // namespace cli

#endif
