#include "clss/clastool/csvdata.h"

#include <charconv>
#include <cmath>
#include <map>

#include "clss/clastool/errors.h"

namespace {

std::vector<std::string> cellsOf(const std::string& line) {
    std::vector<std::string> cells(1);
    for (char c : line) {
        if (c == ',')
            cells.emplace_back();
        else if (c != '\r')
            cells.back() += c;
    }
    return cells;
}

[[noreturn]] void fail(long line, std::size_t column, const std::string& what) {
    throw tqClassifierDefs::BadParams("line " + std::to_string(line) +
                                      (column ? ", column " + std::to_string(column) : std::string()) + ": " +
                                      what);
}

}  // namespace

tqLabelledData tqMakeLabelledData(const std::vector<std::vector<double>>& rows,
                                  const std::vector<std::string>& labels) {
    if (rows.size() != labels.size()) throw tqClassifierDefs::BadParams("rows and labels differ in length");
    tqLabelledData out;
    std::map<std::string, long> numbers;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].size() != rows.front().size())
            throw tqClassifierDefs::BadParams("row " + std::to_string(r) + " differs in length from row 0");
        std::vector<long> invalid;
        for (std::size_t i = 0; i < rows[r].size(); ++i)
            if (std::isnan(rows[r][i])) invalid.push_back(static_cast<long>(i));
        long category = -1;
        if (!labels[r].empty()) {
            const auto known = numbers.emplace(labels[r], static_cast<long>(out.labelNames.size()));
            if (known.second) out.labelNames.push_back(labels[r]);
            category = known.first->second;
        }
        out.data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(rows[r], invalid)), category);
    }
    return out;
}

tqLabelledData tqReadCsvData(std::istream& in, const std::string& labelColumn) {
    std::string line;
    if (!std::getline(in, line)) fail(1, 0, "a header row is expected");
    const std::vector<std::string> header = cellsOf(line);
    std::size_t labelAt = header.size();
    std::vector<std::string> columns;
    for (std::size_t c = 0; c < header.size(); ++c)
        if (header[c] == labelColumn)
            labelAt = c;
        else
            columns.push_back(header[c]);
    if (labelAt == header.size()) fail(1, 0, "no column is named \"" + labelColumn + "\"");

    std::vector<std::vector<double>> rows;
    std::vector<std::string> labels;
    for (long number = 2; std::getline(in, line); ++number) {
        if (line.empty() || line == "\r") continue;
        const std::vector<std::string> cells = cellsOf(line);
        if (cells.size() != header.size())
            fail(number, 0, "the row has " + std::to_string(cells.size()) + " cells, the header " +
                                std::to_string(header.size()));
        std::vector<double> values;
        for (std::size_t c = 0; c < cells.size(); ++c) {
            if (c == labelAt) continue;
            double v = std::nan("");
            const std::string& cell = cells[c];
            const char* end = cell.data() + cell.size();
            if (!cell.empty() && (std::from_chars(cell.data(), end, v).ptr != end || !std::isfinite(v)))
                fail(number, c + 1, "\"" + cell + "\" is not a number");
            values.push_back(v);
        }
        rows.push_back(values);
        labels.push_back(cells[labelAt]);
    }
    tqLabelledData out = tqMakeLabelledData(rows, labels);
    out.columns = columns;
    return out;
}
