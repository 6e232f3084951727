#include "tools/csv.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace cli {

std::string located(const std::string& file, long line, long column, const std::string& what) {
    std::string where = file;
    if (line > 0) where += ":" + std::to_string(line);
    if (line > 0 && column > 0) where += ":" + std::to_string(column);
    return where + ": " + what;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path + ": cannot open: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw InputError(path + ": cannot read: " + std::strerror(errno));
    return text.str();
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Quotes a cell's text for a message, shortening long cells.
std::string shown(const std::string& cell) {
    std::string s = cell.size() > 40 ? cell.substr(0, 37) + "..." : cell;
    return "\"" + s + "\"";
}

}  // namespace

std::vector<CsvRecord> splitCsv(const std::string& text, const std::string& file) {
    std::vector<CsvRecord> records;
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (n >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;
    long line = 1;

    while (i < n) {
        // An empty line (LF or CRLF alone) is no record.
        if (text[i] == '\n') {
            ++i, ++line;
            continue;
        }
        if (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n') {
            i += 2, ++line;
            continue;
        }
        CsvRecord rec;
        rec.line = line;
        bool endOfRecord = false;
        while (!endOfRecord) {
            const long column = static_cast<long>(rec.cells.size()) + 1;
            std::string cell;
            // Leading blanks before an opening quote are allowed.
            std::size_t j = i;
            while (j < n && isBlank(text[j])) ++j;
            if (j < n && text[j] == '"') {
                const long startLine = line;
                i = j + 1;
                bool closed = false;
                while (i < n) {
                    char c = text[i];
                    if (c == '"') {
                        if (i + 1 < n && text[i + 1] == '"') {
                            cell += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        closed = true;
                        break;
                    }
                    if (c == '\n') ++line;
                    cell += c;
                    ++i;
                }
                if (!closed)
                    throw InputError(located(file, startLine, column,
                                             "quoted cell is not closed before the end of the file"));
                while (i < n && isBlank(text[i])) ++i;
                if (i < n && text[i] != ',' && text[i] != '\n' &&
                    !(text[i] == '\r' && i + 1 < n && text[i + 1] == '\n'))
                    throw InputError(located(file, line, column, "unexpected text after a closing quote"));
            } else {
                while (i < n && text[i] != ',' && text[i] != '\n' &&
                       !(text[i] == '\r' && i + 1 < n && text[i + 1] == '\n')) {
                    if (text[i] == '"')
                        throw InputError(located(file, line, column,
                                                 "a quote may only start a cell (quote the whole cell)"));
                    cell += text[i];
                    ++i;
                }
                cell = trimmed(cell);
            }
            rec.cells.push_back(std::move(cell));
            if (i >= n) {
                endOfRecord = true;
            } else if (text[i] == ',') {
                ++i;
                if (i >= n) rec.cells.emplace_back();  // "a,b," ends with an empty cell
            } else {
                i += (text[i] == '\r') ? 2 : 1;
                ++line;
                endOfRecord = true;
            }
        }
        records.push_back(std::move(rec));
    }
    return records;
}

bool isMissingMarker(const std::string& cell) {
    if (cell.empty() || cell == "?") return true;
    std::string lower;
    for (char c : cell) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == "na" || lower == "nan";
}

bool parseNumber(const std::string& cell, double& value) {
    const char* b = cell.data();
    const char* e = b + cell.size();
    if (b != e && *b == '+') ++b;
    if (b == e || !(std::isdigit(static_cast<unsigned char>(*b)) || *b == '-' || *b == '.')) return false;
    double v = 0.0;
    auto res = std::from_chars(b, e, v, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != e || !std::isfinite(v)) return false;
    value = v;
    return true;
}

long DataTable::fileColumn(long index) const {
    long col = index + 1;
    if (labelColumnPosition > 0 && col >= labelColumnPosition) ++col;
    return col;
}

DataTable parseDataText(const std::string& text, const std::string& file, const std::string& labelColumn,
                        LabelColumn need) {
    const std::string labelName = labelColumn.empty() ? "label" : labelColumn;
    std::vector<CsvRecord> records = splitCsv(text, file);
    if (records.empty()) throw InputError(located(file, 1, 0, "the file is empty; a header row is expected"));

    DataTable table;
    table.file = file;
    const CsvRecord& header = records.front();
    std::set<std::string> seen;
    for (std::size_t c = 0; c < header.cells.size(); ++c) {
        const std::string& name = header.cells[c];
        const long col = static_cast<long>(c) + 1;
        if (name.empty())
            throw InputError(located(file, header.line, col, "the header names no column here"));
        if (!seen.insert(name).second)
            throw InputError(
                located(file, header.line, col, "column name " + shown(name) + " appears twice"));
        if (name == labelName) {
            table.labelColumn = name;
            table.labelColumnPosition = col;
        } else {
            table.columns.push_back(name);
        }
    }
    if (table.labelColumnPosition < 0 && need == LabelColumn::Required)
        throw InputError(
            located(file, header.line, 0,
                    "no column is named \"" + labelName + "\"" +
                        (labelColumn.empty() ? " (name the label column with --label-column)" : "")));
    if (table.columns.empty())
        throw InputError(located(file, header.line, 0, "the header names no measurement column"));

    const std::size_t width = header.cells.size();
    table.rows.reserve(records.size() - 1);
    for (std::size_t r = 1; r < records.size(); ++r) {
        const CsvRecord& rec = records[r];
        if (rec.cells.size() != width) {
            const long col = static_cast<long>(std::min(rec.cells.size(), width)) + 1;
            throw InputError(located(file, rec.line, col,
                                     "the row has " + std::to_string(rec.cells.size()) +
                                         " cells but the header has " + std::to_string(width) + " columns"));
        }
        DataRow row;
        row.line = rec.line;
        row.values.reserve(table.columns.size());
        for (std::size_t c = 0; c < width; ++c) {
            const long col = static_cast<long>(c) + 1;
            const std::string& cell = rec.cells[c];
            if (col == table.labelColumnPosition) {
                row.label = isMissingMarker(cell) ? std::string() : cell;
                continue;
            }
            double v = 0.0;
            if (isMissingMarker(cell)) {
                row.invalid.push_back(static_cast<long>(row.values.size()));
            } else if (!parseNumber(cell, v)) {
                throw InputError(
                    located(file, rec.line, col,
                            shown(cell) + " in column \"" + header.cells[c] + "\" is not a number"));
            }
            row.values.push_back(v);
        }
        table.rows.push_back(std::move(row));
    }
    return table;
}

DataTable readDataFile(const std::string& path, const std::string& labelColumn, LabelColumn need) {
    return parseDataText(readWholeFile(path), path, labelColumn, need);
}

}  // namespace cli
