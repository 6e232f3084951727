#include "tools/csv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <unordered_map>

#include "platform/attention.h"
#include "platform/exception.h"

namespace cli {

std::string located(const std::string& file, long line, long column, const std::string& what) {
    std::string where = file;
    if (line > 0) where += ":" + std::to_string(line);
    if (line > 0 && column > 0) where += ":" + std::to_string(column);
    return where + ": " + what;
}

class InputFile::Buffer : public std::streambuf {
public:
    Buffer(int fd, std::vector<char>& bytes, const std::string& path) : fd_(fd), bytes_(bytes), path_(path) {}

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        ssize_t got;
        do got = ::read(fd_, bytes_.data(), bytes_.size());
        while (got < 0 && errno == EINTR && tfAttentionCheck() == 0);
        if (got < 0 && errno == EINTR) tfThrowExceptionOnFailure(tfAttentionCheck());
        if (got < 0) throw InputError(path_ + ": cannot read: " + std::strerror(errno));
        if (got == 0) return traits_type::eof();
        setg(bytes_.data(), bytes_.data(), bytes_.data() + got);
        return traits_type::to_int_type(*gptr());
    }

private:
    int fd_;
    std::vector<char>& bytes_;
    const std::string& path_;
};

std::string inputName(const std::string& path) { return path == "-" ? "standard input" : path; }

InputFile::InputFile(const std::string& path)
    : path_(inputName(path)), fd_(path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw InputError(path + ": cannot open: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd_);
        throw InputError(path + ": is a directory, not a file");
    }
    bytes_.resize(std::size_t{1} << 16);
    buffer_ = new Buffer(fd_, bytes_, path_);
}

InputFile::~InputFile() {
    delete buffer_;
    if (fd_ != 0) ::close(fd_);
}

std::streambuf& InputFile::buffer() { return *buffer_; }

std::string printable(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // C1 controls arrive as UTF-8 pairs C2 80..C2 9F.
        const bool c1 =
            c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c >= 0x20 && c != 0x7F && !c1) {
            out += text[i];
            continue;
        }
        const auto shownByte = c1 ? static_cast<unsigned char>(text[++i]) : c;
        out += "\\x";
        out += hex[shownByte >> 4];
        out += hex[shownByte & 15];
    }
    return out;
}

namespace {

// Quotes a cell's text for a message, shortening long cells.
std::string shown(std::string_view text) {
    const std::string cell(text);
    std::string s = cell.size() > 40 ? cell.substr(0, 37) + "..." : cell;
    return "\"" + s + "\"";
}

constexpr int kEof = std::char_traits<char>::eof();

}  // namespace

CsvReader::CsvReader(std::streambuf& in, std::string file, char delimiter)
    : in_(in), file_(std::move(file)), delimiter_(delimiter) {
    static const char bom[] = "\xEF\xBB\xBF";
    std::size_t matched = 0;
    while (matched < 3 && in_.sgetc() == static_cast<unsigned char>(bom[matched])) in_.sbumpc(), ++matched;
    if (matched != 0 && matched != 3)
        throw InputError(located(file_, 1, 1, "the file starts with a damaged byte-order mark"));
}

void CsvReader::fail(long line, long column, const std::string& what) const {
    throw InputError(located(file_, line, column, what));
}

// The byte at `offset` from the record's start, or kEof after the end of the input.
inline int CsvReader::at(std::size_t offset) {
    const std::size_t i = base_ + offset;
    return i < end_ ? static_cast<unsigned char>(buffer_[i]) : refill(offset);
}

// Moves the current record to the front of the buffer and reads more behind it. A record that
// fills the whole buffer is longer than kMaxRecordBytes.
int CsvReader::refill(std::size_t offset) {
    while (base_ + offset >= end_) {
        if (eof_) return kEof;
        if (buffer_.empty()) buffer_.resize(kMaxRecordBytes);
        if (base_ > 0) {
            std::copy(buffer_.begin() + static_cast<long>(base_), buffer_.begin() + static_cast<long>(end_),
                      buffer_.begin());
            end_ -= base_;
            base_ = 0;
        }
        if (end_ == buffer_.size())
            fail(line_, 0,
                 "a line is longer than " + std::to_string(kMaxRecordBytes) + " bytes (is this a CSV file?)");
        const std::streamsize got =
            in_.sgetn(buffer_.data() + end_, static_cast<std::streamsize>(buffer_.size() - end_));
        if (got <= 0)
            eof_ = true;
        else
            end_ += static_cast<std::size_t>(got);
    }
    return static_cast<unsigned char>(buffer_[base_ + offset]);
}

bool CsvReader::isDelimiter(int c) const {
    return delimiter_ != 0 ? c == delimiter_ : c == ',' || c == ';' || c == '\t';
}

// A tab is a blank around a cell unless it separates cells, or may do so (before the delimiter
// is known).
bool CsvReader::isBlankHere(int c) const {
    return c == ' ' || (c == '\t' && delimiter_ != 0 && delimiter_ != '\t');
}

// A quoted cell starting at `o`: its text is unquoted in place, from o + 1 to `end`; returns the
// offset after it and the blanks that follow.
std::size_t CsvReader::quotedCell(std::size_t o, long column, std::size_t& end) {
    const long startLine = line_;
    std::size_t r = o + 1, w = o + 1;
    for (;;) {
        const int c = at(r);
        if (c == kEof) fail(startLine, column, "quoted cell is not closed before the end of the file");
        if (c == 0) fail(line_, 0, "NUL byte: this is not a CSV text file");
        if (c == '"') {
            if (at(r + 1) != '"') break;
            ++r;
        }
        if (c == '\n') ++line_;
        buffer_[base_ + w++] = static_cast<char>(c);
        ++r;
    }
    end = w;
    ++r;
    while (isBlankHere(at(r))) ++r;
    const int after = at(r);
    if (after != kEof && !isDelimiter(after) && after != '\n' && !(after == '\r' && at(r + 1) == '\n'))
        fail(line_, column, "unexpected text after a closing quote");
    return r;
}

// An unquoted cell starting at `o`, up to a delimiter or the line's end; [begin, end) is its
// text without the blanks around it. A CR that ends no line is text.
std::size_t CsvReader::plainCell(std::size_t o, long column, std::size_t& begin, std::size_t& end) {
    std::size_t r = o;
    for (;;) {
        // The common bytes go by without a call: a refill happens only at the buffer's end.
        const char* p = buffer_.data() + base_ + r;
        const char* stop = buffer_.data() + end_;
        if (delimiter_ != 0)
            while (p < stop && *p != delimiter_ && *p != '\n' && *p != '\r' && *p != '"' && *p != 0) ++p;
        r = static_cast<std::size_t>(p - (buffer_.data() + base_));
        const int c = at(r);
        if (c == kEof || isDelimiter(c) || c == '\n') break;
        if (c == '"') fail(line_, column, "a quote may only start a cell (quote the whole cell)");
        if (c == 0) fail(line_, 0, "NUL byte: this is not a CSV text file");
        if (c == '\r' && at(r + 1) == '\n') break;
        ++r;
    }
    const auto blank = [&](char c) { return c == ' ' || (c == '\t' && delimiter_ != '\t'); };
    begin = o, end = r;
    while (begin < end && blank(buffer_[base_ + begin])) ++begin;
    while (end > begin && blank(buffer_[base_ + end - 1])) --end;
    return r;
}

bool CsvReader::nextCells(std::vector<std::string_view>& cells, long& line) {
    // Lines with no characters at all are no record.
    for (int c = at(0); c == '\n' || (c == '\r' && at(1) == '\n'); c = at(0)) {
        base_ += c == '\n' ? 1 : 2;
        ++line_;
    }
    if (at(0) == kEof) return false;
    line = line_;
    spans_.clear();
    std::size_t o = 0;
    for (;;) {
        const long column = static_cast<long>(spans_.size()) + 1;
        while (isBlankHere(at(o))) ++o;
        std::size_t begin = o + 1, end = 0;
        o = at(o) == '"' ? quotedCell(o, column, end) : plainCell(o, column, begin, end);
        spans_.emplace_back(begin, end - begin);
        const int c = at(o);
        if (c == kEof) break;
        if (isDelimiter(c)) {
            if (delimiter_ == 0) delimiter_ = static_cast<char>(c);
            ++o;
            if (at(o) == kEof) {  // "a,b," ends with an empty cell
                spans_.emplace_back(o, 0);
                break;
            }
            continue;
        }
        o += c == '\r' ? 2 : 1;  // the line's end
        ++line_;
        break;
    }
    cells.clear();
    for (const auto& [begin, size] : spans_) cells.emplace_back(buffer_.data() + base_ + begin, size);
    base_ += o;
    // The first record decides the delimiter; one that has none (a single column) keeps commas.
    if (delimiter_ == 0) delimiter_ = ',';
    return true;
}

bool CsvReader::next(CsvRecord& record) {
    std::vector<std::string_view> cells;
    if (!nextCells(cells, record.line)) return false;
    record.cells.assign(cells.begin(), cells.end());
    return true;
}

namespace {

std::vector<CsvRecord> allRecords(CsvReader& reader) {
    std::vector<CsvRecord> records;
    CsvRecord record;
    while (reader.next(record)) records.push_back(record);
    return records;
}

}  // namespace

std::vector<CsvRecord> splitCsv(const std::string& text, const std::string& file) {
    std::stringbuf buffer(text);
    CsvReader reader(buffer, file);
    return allRecords(reader);
}

std::vector<CsvRecord> readCsvRecords(const std::string& path) {
    InputFile input(path);
    CsvReader reader(input.buffer(), inputName(path));
    return allRecords(reader);
}

char delimiterNamed(const std::string& name) {
    if (name.empty()) return 0;
    if (name == "tab" || name == "\t") return '\t';
    if (name == "," || name == ";") return name[0];
    throw InputError("--delimiter " + name + ": the delimiter is \",\", \";\" or tab");
}

namespace {

// Whether the n characters at p spell `lower` in any case (checked once per cell, so no copy).
bool spells(const char* p, std::size_t n, const char* lower) {
    if (n != std::strlen(lower)) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(p[i])) != lower[i]) return false;
    return true;
}

}  // namespace

bool isMissingMarker(std::string_view cell) {
    const std::size_t n = cell.size();
    return n == 0 || cell == "?" || spells(cell.data(), n, "na") || spells(cell.data(), n, "nan");
}

NumberKind parseNumber(std::string_view cell, double& value) {
    const char* b = cell.data();
    const char* e = b + cell.size();
    if (b != e && *b == '+') ++b;
    if (b != e && *b == '-' && b != cell.data()) return NumberKind::NotANumber;  // "+-1"
    const char* digits = b != e && *b == '-' ? b + 1 : b;
    const auto rest = static_cast<std::size_t>(e - digits);
    if (spells(digits, rest, "inf") || spells(digits, rest, "infinity")) return NumberKind::Infinite;
    if (b == e || !(std::isdigit(static_cast<unsigned char>(*b)) || *b == '-' || *b == '.'))
        return NumberKind::NotANumber;
    double v = 0.0;
    auto res = std::from_chars(b, e, v, std::chars_format::general);
    if (res.ptr != e || (res.ec != std::errc() && res.ec != std::errc::result_out_of_range) || std::isnan(v))
        return NumberKind::NotANumber;
    if (res.ec == std::errc::result_out_of_range) {
        // Overflow is an error; an underflow reads as the nearest double (zero or subnormal).
        v = std::strtod(std::string(b, e).c_str(), nullptr);
        if (std::isinf(v)) return NumberKind::OutOfRange;
    }
    value = v;
    return NumberKind::Number;
}

long DataTable::firstInvalid(std::size_t r) const {
    if (validity.empty()) return -1;
    for (std::size_t j = 0; j < width(); ++j)
        if (validity[r * width() + j] == 0) return static_cast<long>(j);
    return -1;
}

const std::string& DataTable::label(std::size_t r) const {
    static const std::string unknown;
    return labelIds[r] < 0 ? unknown : labelTexts[static_cast<std::size_t>(labelIds[r])];
}

void DataTable::markInvalid(std::size_t r, std::size_t j) {
    if (validity.empty()) validity.assign(values.size(), 1);
    validity[r * width() + j] = 0;
}

void DataTable::addRow(long line, const std::vector<double>& measurements, const std::string& labelText) {
    values.insert(values.end(), measurements.begin(), measurements.end());
    if (!validity.empty()) validity.resize(values.size(), 1);
    lines.push_back(line);
    if (labelText.empty()) {
        labelIds.push_back(-1);
        return;
    }
    const auto known = std::find(labelTexts.begin(), labelTexts.end(), labelText);
    labelIds.push_back(static_cast<int>(known - labelTexts.begin()));
    if (known == labelTexts.end()) labelTexts.push_back(labelText);
}

DataTable DataTable::slice(std::size_t begin, std::size_t end) const {
    DataTable part = *this;
    const auto cells = [&](std::size_t r) { return static_cast<long>(r * width()); };
    part.values.assign(values.begin() + cells(begin), values.begin() + cells(end));
    if (!validity.empty()) part.validity.assign(validity.begin() + cells(begin), validity.begin() + cells(end));
    part.lines.assign(lines.begin() + static_cast<long>(begin), lines.begin() + static_cast<long>(end));
    part.labelIds.assign(labelIds.begin() + static_cast<long>(begin), labelIds.begin() + static_cast<long>(end));
    return part;
}

namespace {

// Refuses a measurement cell that holds no finite number, at line `line` and column `col`.
[[noreturn]] void refuseCell(std::string_view cell, const std::string& column, const std::string& file, long line,
                             long col, bool hintIgnore) {
    double v = 0.0;
    const NumberKind kind = parseNumber(cell, v);
    const std::string where = located(file, line, col, "");
    const std::string what = shown(cell) + " in column \"" + column + "\" ";
    if (kind == NumberKind::OutOfRange) throw InputError(where + what + "is out of range (beyond +-1.8e308)");
    if (kind == NumberKind::Infinite)
        throw InputError(where + what + "is infinite; leave the cell empty (or NA) for a missing measurement");
    throw InputError(where + what + "is not a number" +
                     (hintIgnore ? " (--ignore \"" + column + "\" leaves the column out)" : ""));
}

// The common number cell, read in place: a finite decimal number from_chars takes whole.
inline bool plainNumber(std::string_view cell, double& v) {
    const char* b = cell.data();
    const char* e = b + cell.size();
    if (b == e || *b == '+') return false;
    const auto res = std::from_chars(b, e, v, std::chars_format::general);
    return res.ec == std::errc() && res.ptr == e && std::isfinite(v);
}

bool isIndex(const std::string& text, std::size_t& index) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    index = std::stoul(text);
    return true;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
}

// Resolves a column reference against the header: a name, or else a 0-based index.
std::size_t columnAt(const std::string& option, const std::string& ref, const std::vector<std::string>& header,
                     const std::string& file, bool namesOnly) {
    const auto named = std::find(header.begin(), header.end(), ref);
    if (named != header.end()) return static_cast<std::size_t>(named - header.begin());
    std::size_t index = 0;
    if (!namesOnly && isIndex(ref, index)) {
        if (index < header.size()) return index;
        throw InputError(option + " " + ref + ": " + file + " has " + std::to_string(header.size()) +
                         " columns (indices 0 to " + std::to_string(header.size() - 1) + ")");
    }
    throw InputError(option + " " + ref + ": " + file + " has no column named \"" + ref + "\"");
}

// The header's column names, checked; without a header the names are the indices.
std::vector<std::string> columnNames(const std::vector<std::string_view>& first, long line, const std::string& file,
                                     bool noHeader) {
    std::vector<std::string> names;
    std::set<std::string_view> seen;
    for (std::size_t c = 0; c < first.size(); ++c) {
        if (noHeader) {
            names.push_back(std::to_string(c));
            continue;
        }
        const long col = static_cast<long>(c) + 1;
        if (first[c].empty()) throw InputError(located(file, line, col, "the header names no column here"));
        if (!seen.insert(first[c]).second)
            throw InputError(located(file, line, col, "column name " + shown(first[c]) + " appears twice"));
        names.emplace_back(first[c]);
    }
    return names;
}

// Decides the label column and the measurement columns of `table` from its header.
void chooseColumns(DataTable& table, const ColumnChoice& choice, long headerLine) {
    const std::vector<std::string>& header = table.header;
    const std::string& file = table.file;
    long label = -1;
    const std::string labelName = choice.labelColumn.empty() ? "label" : choice.labelColumn;
    const auto named = std::find(header.begin(), header.end(), labelName);
    std::size_t index = 0;
    if (named != header.end())
        label = static_cast<long>(named - header.begin());
    else if (!choice.labelColumn.empty() && choice.need == LabelColumn::Required && isIndex(labelName, index))
        label = static_cast<long>(columnAt("--label-column", labelName, header, file, false));
    else if (choice.need == LabelColumn::Required && !choice.labelColumn.empty())
        throw InputError(located(file, headerLine, 0,
                                 "no column is named \"" + labelName +
                                     "\" (--label-column takes a name or a 0-based column index; "
                                     "--no-header reads a file whose first row is data)"));
    else if (choice.need == LabelColumn::Required) {
        // Without a column named "label", the labels are taken from the last column.
        label = static_cast<long>(header.size()) - 1;
        table.labelFromLastColumn = true;
    }
    if (label >= 0) {
        table.labelColumn = header[static_cast<std::size_t>(label)];
        table.labelColumnPosition = label + 1;
    }

    std::vector<std::size_t> chosen;
    if (choice.modelColumns) {
        std::vector<std::string> present;
        for (std::size_t c = 0; c < header.size(); ++c)
            if (static_cast<long>(c) != label) present.push_back(header[c]);
        for (const std::string& name : choice.columns) {
            const auto at = std::find(header.begin(), header.end(), name);
            if (at == header.end() || at - header.begin() == label) {
                std::string hint;
                if (!choice.noHeader && !choice.columns.empty() && choice.columns.front() == "0")
                    hint = " (the model was trained on a file without a header row: add --no-header)";
                throw InputError(located(file, headerLine, 0,
                                         "columns do not match the model: expected " + joined(choice.columns) +
                                             ", found " + joined(present) + hint));
            }
            chosen.push_back(static_cast<std::size_t>(at - header.begin()));
        }
    } else {
        std::vector<bool> ignored(header.size(), false);
        for (const std::string& ref : choice.ignore) {
            const std::size_t c = columnAt("--ignore", ref, header, file, false);
            if (static_cast<long>(c) == label)
                throw InputError("--ignore " + ref + ": \"" + header[c] + "\" is the label column");
            ignored[c] = true;
        }
        for (const std::string& ref : choice.columns) {
            const std::size_t c = columnAt("--columns", ref, header, file, false);
            if (static_cast<long>(c) == label)
                throw InputError("--columns " + ref + ": \"" + header[c] + "\" is the label column");
            if (std::find(chosen.begin(), chosen.end(), c) != chosen.end())
                throw InputError("--columns " + ref + ": the column \"" + header[c] + "\" is given twice");
            if (!ignored[c]) chosen.push_back(c);
        }
        if (choice.columns.empty())
            for (std::size_t c = 0; c < header.size(); ++c)
                if (static_cast<long>(c) != label && !ignored[c]) chosen.push_back(c);
    }
    if (chosen.empty()) throw InputError(located(file, headerLine, 0, "the header names no measurement column"));
    for (std::size_t c : chosen) {
        table.columns.push_back(header[c]);
        table.positions.push_back(static_cast<long>(c) + 1);
    }
}

// Reads the rows, each straight into the table's matrix.
class RowReader {
public:
    // `hintIgnore`: a refused cell's message suggests leaving its column out.
    RowReader(DataTable& table, bool hintIgnore)
        : table_(table), action_(table.header.size(), kSkip), hintIgnore_(hintIgnore) {
        for (std::size_t j = 0; j < table.positions.size(); ++j)
            action_[static_cast<std::size_t>(table.positions[j] - 1)] = static_cast<long>(j);
        if (table.labelColumnPosition > 0) action_[static_cast<std::size_t>(table.labelColumnPosition - 1)] = kLabel;
    }

    void add(const std::vector<std::string_view>& cells, long line) {
        DataTable& t = table_;
        const std::size_t width = action_.size();
        if (cells.size() != width) {
            const long col = static_cast<long>(std::min(cells.size(), width)) + 1;
            throw InputError(located(t.file, line, col,
                                     "the row has " + std::to_string(cells.size()) + " cells but the header has " +
                                         std::to_string(width) + " columns"));
        }
        const std::size_t r = t.lines.size();
        const std::size_t base = t.values.size();
        t.values.resize(base + t.width());
        if (!t.validity.empty()) t.validity.resize(t.values.size(), 1);
        int labelId = -1;
        for (std::size_t c = 0; c < width; ++c) {
            const long a = action_[c];
            if (a == kSkip) continue;
            const std::string_view cell = cells[c];
            if (a == kLabel) {
                labelId = isMissingMarker(cell) ? -1 : labelNumber(cell);
                continue;
            }
            double& v = t.values[base + static_cast<std::size_t>(a)];
            if (plainNumber(cell, v)) continue;
            v = 0.0;
            if (isMissingMarker(cell)) {
                t.markInvalid(r, static_cast<std::size_t>(a));
                continue;
            }
            if (parseNumber(cell, v) != NumberKind::Number)
                refuseCell(cell, t.header[c], t.file, line, static_cast<long>(c) + 1, hintIgnore_);
        }
        t.lines.push_back(line);
        t.labelIds.push_back(labelId);
    }

private:
    static constexpr long kSkip = -1, kLabel = -2;

    int labelNumber(std::string_view cell) {
        if (last_ >= 0 && cell == table_.labelTexts[static_cast<std::size_t>(last_)]) return last_;
        scratch_.assign(cell.data(), cell.size());
        const auto found = ids_.find(scratch_);
        if (found != ids_.end()) return last_ = found->second;
        last_ = static_cast<int>(table_.labelTexts.size());
        table_.labelTexts.push_back(scratch_);
        ids_.emplace(scratch_, last_);
        return last_;
    }

    DataTable& table_;
    std::vector<long> action_;  // per file column: a measurement's index, kSkip or kLabel
    bool hintIgnore_;
    std::unordered_map<std::string, int> ids_;
    std::string scratch_;
    int last_ = -1;
};

}  // namespace

DataTable parseData(CsvReader& reader, const std::string& file, const ColumnChoice& choice) {
    std::vector<std::string_view> cells;
    long line = 0;
    if (!reader.nextCells(cells, line))
        throw InputError(located(file, 1, 0,
                                 choice.noHeader ? "the file is empty" : "the file is empty; a header row is expected"));
    DataTable table;
    table.file = file;
    table.header = columnNames(cells, line, file, choice.noHeader);
    chooseColumns(table, choice, line);
    RowReader rows(table, !choice.modelColumns);
    if (choice.noHeader) rows.add(cells, line);
    while (reader.nextCells(cells, line)) rows.add(cells, line);
    return table;
}

DataTable parseDataText(const std::string& text, const std::string& file, const ColumnChoice& choice) {
    std::stringbuf buffer(text);
    CsvReader reader(buffer, file, choice.delimiter);
    return parseData(reader, file, choice);
}

DataTable readDataFile(const std::string& path, const ColumnChoice& choice) {
    InputFile input(path);
    CsvReader reader(input.buffer(), inputName(path), choice.delimiter);
    return parseData(reader, inputName(path), choice);
}

}  // namespace cli
