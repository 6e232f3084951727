// Labelled data from a table, for programs that need no more than a simple CSV file: the rows of
// measurements become a data provider, and the label texts become category numbers.
#ifndef CLASTOOL_CSVDATA_H
#define CLASTOOL_CSVDATA_H

#include <istream>
#include <string>
#include <vector>

#include "clss/clastool/provider.h"

// A data provider with the names of its measurements and categories.
struct tqLabelledData {
    tqClassifierDataProviderMemory data;
    std::vector<std::string> columns;     // the measurement column names, in pattern order
    std::vector<std::string> labelNames;  // category number i is labelNames[i]
};

// One pattern per row; NaN is a missing (invalid) measurement. Every distinct label text gets a
// category number, 0, 1, 2, ... in order of first appearance; an empty text is the unknown
// label (-1). Throws tqClassifierDefs::BadParams when rows and labels differ in length or a row
// differs in length from the first.
tqLabelledData tqMakeLabelledData(const std::vector<std::vector<double>>& rows,
                                  const std::vector<std::string>& labels);

// Reads comma-separated text: a header row of column names, then one row per pattern. The
// column named `labelColumn` holds the labels; every other cell is a number, an empty cell a
// missing measurement. Quoting is not supported. Throws tqClassifierDefs::BadParams naming the
// line and column of the first cell that is not a number, a row of the wrong length, or a header
// without the label column.
tqLabelledData tqReadCsvData(std::istream& in, const std::string& labelColumn = "label");

#endif
