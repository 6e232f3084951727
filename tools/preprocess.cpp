#include "tools/preprocess.h"

#include <algorithm>
#include <cmath>

#include "tools/output.h"

namespace cli {

namespace {

// The measured values of column j among the labelled `rows`.
std::vector<double> measured(const DataTable& table, const std::vector<std::size_t>& rows,
                             const std::vector<long>& categories, std::size_t j) {
    std::vector<double> v;
    v.reserve(rows.size());
    for (std::size_t r : rows)
        if (categories[r] >= 0 && table.isValid(r, j)) v.push_back(table.row(r)[j]);
    return v;
}

double median(std::vector<double>& v) {
    const std::size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(mid), v.end());
    const double upper = v[mid];
    if (v.size() % 2 == 1) return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<long>(mid));
    return lower + (upper - lower) / 2;
}

[[noreturn]] void unfit(const DataTable& table, std::size_t j, const std::string& why) {
    throw InputError(table.file + ": column \"" + table.columns[j] + "\": " + why);
}

}  // namespace

Preprocessing Preprocessing::fit(Scale scale, Impute impute, const DataTable& table,
                                 const std::vector<std::size_t>& rows, const std::vector<long>& categories) {
    Preprocessing p;
    p.scale = scale;
    p.impute = impute;
    const std::size_t d = table.width();
    for (std::size_t j = 0; j < d && p.active(); ++j) {
        std::vector<double> v = measured(table, rows, categories, j);
        long double sum = 0, squares = 0;
        for (double x : v) sum += x;
        const long double mean = v.empty() ? 0 : sum / v.size();
        for (double x : v) squares += (x - mean) * (x - mean);
        if (impute != Impute::None) {
            if (v.empty()) unfit(table, j, "no training row has a measurement to impute missing cells from");
            p.fills.push_back(impute == Impute::Mean ? static_cast<double>(mean) : median(v));
        }
        if (scale == Scale::None) continue;
        long double center = mean, spread = v.empty() ? 0 : std::sqrt(squares / v.size());
        if (scale == Scale::MinMax && !v.empty()) {
            const auto [low, high] = std::minmax_element(v.begin(), v.end());
            center = *low, spread = static_cast<long double>(*high) - *low;
        }
        if (!std::isfinite(static_cast<double>(spread)))
            unfit(table, j, "its values spread beyond the range of a double; rescale the column");
        // A spread within the long double's range but below the smallest double rounds to 0: the
        // column is then only centred, as one without spread.
        const double divisor = static_cast<double>(spread);
        p.centers.push_back(static_cast<double>(center));
        p.scales.push_back(divisor > 0 ? divisor : 1.0);
    }
    return p;
}

void Preprocessing::apply(const DataTable& table, std::size_t r, double* out, unsigned char* valid) const {
    apply(table.row(r), table.validity.empty() ? nullptr : table.validity.data() + r * table.width(), table.width(),
          out, valid);
}

void Preprocessing::apply(const double* row, const unsigned char* rowValid, std::size_t width, double* out,
                          unsigned char* valid) const {
    for (std::size_t j = 0; j < width; ++j) {
        double x = row[j];
        bool ok = rowValid == nullptr || rowValid[j] != 0;
        if (!ok && !fills.empty()) x = fills[j], ok = true;
        if (ok && !centers.empty()) x = (x - centers[j]) / scales[j];
        out[j] = x;
        valid[j] = ok ? 1 : 0;
    }
}

long Preprocessing::unscalable(const double* row, const unsigned char* rowValid, std::size_t width) const {
    for (std::size_t j = 0; j < width && j < centers.size(); ++j)
        if ((rowValid == nullptr || rowValid[j] != 0) && !std::isfinite((row[j] - centers[j]) / scales[j]))
            return static_cast<long>(j);
    return -1;
}

std::string scaleName(Preprocessing::Scale scale) {
    return scale == Preprocessing::Scale::Standard ? "standard"
           : scale == Preprocessing::Scale::MinMax ? "minmax"
                                                   : "none";
}

std::string imputeName(Preprocessing::Impute impute) {
    return impute == Preprocessing::Impute::Mean ? "mean" : impute == Preprocessing::Impute::Median ? "median" : "none";
}

bool scaleNamed(const std::string& name, Preprocessing::Scale& scale) {
    for (auto s : {Preprocessing::Scale::None, Preprocessing::Scale::Standard, Preprocessing::Scale::MinMax})
        if (scaleName(s) == name) return scale = s, true;
    return false;
}

bool imputeNamed(const std::string& name, Preprocessing::Impute& impute) {
    for (auto i : {Preprocessing::Impute::None, Preprocessing::Impute::Mean, Preprocessing::Impute::Median})
        if (imputeName(i) == name) return impute = i, true;
    return false;
}

}  // namespace cli
