#include "tools/csv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

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

bool isBlank(int c) { return c == ' ' || c == '\t'; }

std::string trimmedSpaces(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    return s.substr(b, e - b);
}

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

int CsvReader::peek() { return in_.sgetc(); }

bool CsvReader::isDelimiter(int c) const {
    return delimiter_ != 0 ? c == delimiter_ : c == ',' || c == ';' || c == '\t';
}

// A tab is a blank around a cell unless it separates cells, or may do so (before the delimiter
// is known).
bool CsvReader::isBlankHere(int c) const {
    return c == ' ' || (c == '\t' && delimiter_ != 0 && delimiter_ != '\t');
}

int CsvReader::take() {
    const int c = in_.sbumpc();
    if (c == 0) throw InputError(located(file_, line_, 0, "NUL byte: this is not a CSV text file"));
    if (c == '\n') ++line_;
    if (++recordBytes_ > kMaxRecordBytes)
        throw InputError(located(
            file_, line_, 0,
            "a line is longer than " + std::to_string(kMaxRecordBytes) + " bytes (is this a CSV file?)"));
    return c;
}

// At a CR: consumes it and says whether an LF follows (CRLF ends a line; a CR alone is text).
bool CsvReader::crBeforeLf() {
    take();
    return peek() == '\n';
}

std::string CsvReader::quotedCell(long column) {
    const long startLine = line_;
    std::string cell;
    take();
    for (;;) {
        const int c = peek();
        if (c == kEof)
            throw InputError(
                located(file_, startLine, column, "quoted cell is not closed before the end of the file"));
        take();
        if (c != '"') {
            cell += static_cast<char>(c);
            continue;
        }
        if (peek() != '"') break;
        take();
        cell += '"';
    }
    while (isBlankHere(peek())) take();
    const int after = peek();
    if (after != kEof && !isDelimiter(after) && after != '\n' && !(after == '\r' && crBeforeLf()))
        throw InputError(located(file_, line_, column, "unexpected text after a closing quote"));
    return cell;
}

std::string CsvReader::plainCell(long column, std::string cell) {
    for (int c = peek(); c != kEof && !isDelimiter(c) && c != '\n'; c = peek()) {
        if (c == '"')
            throw InputError(
                located(file_, line_, column, "a quote may only start a cell (quote the whole cell)"));
        if (c == '\r' && crBeforeLf()) break;
        if (c != '\r') take();
        cell += static_cast<char>(c);
    }
    return delimiter_ == '\t' ? trimmedSpaces(cell) : trimmed(cell);
}

bool CsvReader::next(CsvRecord& record) {
    const bool found = nextRecord(record);
    // The first record decides the delimiter; one that has none (a single column) keeps commas.
    if (delimiter_ == 0) delimiter_ = ',';
    return found;
}

bool CsvReader::nextRecord(CsvRecord& record) {
    // Lines with no characters at all are no record; a CR that ends no line starts the first cell.
    std::string carried;
    for (int c = peek(); carried.empty() && (c == '\n' || c == '\r'); c = peek()) {
        if (c == '\n' || crBeforeLf())
            take(), recordBytes_ = 0;
        else
            carried = "\r";
    }
    recordBytes_ = carried.size();
    if (peek() == kEof && carried.empty()) return false;
    record.line = line_;
    record.cells.clear();
    for (;;) {
        const long column = static_cast<long>(record.cells.size()) + 1;
        // Leading blanks before an opening quote are allowed.
        while (carried.empty() && isBlankHere(peek())) take();
        if (peek() == '"' && carried.empty())
            record.cells.push_back(quotedCell(column));
        else
            record.cells.push_back(plainCell(column, std::move(carried)));
        carried.clear();
        if (peek() == kEof) return true;
        if (isDelimiter(peek())) {
            if (delimiter_ == 0) delimiter_ = static_cast<char>(peek());
            take();
            if (peek() == kEof) record.cells.emplace_back();  // "a,b," ends with an empty cell
            continue;
        }
        take();  // the line feed
        return true;
    }
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

bool isMissingMarker(const std::string& cell) {
    const std::size_t n = cell.size();
    return n == 0 || cell == "?" || spells(cell.data(), n, "na") || spells(cell.data(), n, "nan");
}

NumberKind parseNumber(const std::string& cell, double& value) {
    const char* b = cell.data();
    const char* e = b + cell.size();
    if (b != e && *b == '+') ++b;
    const char* digits = b != e && *b == '-' ? b + 1 : b;
    const auto rest = static_cast<std::size_t>(e - digits);
    if (spells(digits, rest, "inf") || spells(digits, rest, "infinity")) return NumberKind::Infinite;
    if (b == e || !(std::isdigit(static_cast<unsigned char>(*b)) || *b == '-' || *b == '.'))
        return NumberKind::NotANumber;
    double v = 0.0;
    auto res = std::from_chars(b, e, v, std::chars_format::general);
    if (res.ptr != e || (res.ec != std::errc() && res.ec != std::errc::result_out_of_range))
        return NumberKind::NotANumber;
    if (res.ec == std::errc::result_out_of_range) {
        // Overflow is an error; an underflow reads as the nearest double (zero or subnormal).
        v = std::strtod(std::string(b, e).c_str(), nullptr);
        if (std::isinf(v)) return NumberKind::OutOfRange;
    }
    value = v;
    return NumberKind::Number;
}

long DataTable::fileColumn(long index) const {
    long col = index + 1;
    if (labelColumnPosition > 0 && col >= labelColumnPosition) ++col;
    return col;
}

namespace {

// Refuses a measurement cell that holds no finite number, at line `line` and column `col`.
void checkNumber(NumberKind kind, const std::string& cell, const std::string& column, const std::string& file,
                 long line, long col) {
    if (kind == NumberKind::Number) return;
    const std::string where = located(file, line, col, "");
    const std::string what = shown(cell) + " in column \"" + column + "\" ";
    if (kind == NumberKind::NotANumber) throw InputError(where + what + "is not a number");
    if (kind == NumberKind::OutOfRange) throw InputError(where + what + "is out of range (beyond +-1.8e308)");
    if (kind == NumberKind::Infinite)
        throw InputError(where + what +
                         "is infinite; leave the cell empty (or NA) for a missing measurement");
}

}  // namespace

DataTable parseData(CsvReader& reader, const std::string& file, const std::string& labelColumn,
                    LabelColumn need) {
    const std::string labelName = labelColumn.empty() ? "label" : labelColumn;
    CsvRecord header;
    if (!reader.next(header))
        throw InputError(located(file, 1, 0, "the file is empty; a header row is expected"));

    DataTable table;
    table.file = file;
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
    if (table.labelColumnPosition < 0 && need == LabelColumn::Required) {
        if (!labelColumn.empty())
            throw InputError(located(file, header.line, 0, "no column is named \"" + labelName + "\""));
        // Without a column named "label", the labels are taken from the last column.
        table.labelColumn = table.columns.back();
        table.labelColumnPosition = static_cast<long>(header.cells.size());
        table.labelFromLastColumn = true;
        table.columns.pop_back();
    }
    if (table.columns.empty())
        throw InputError(located(file, header.line, 0, "the header names no measurement column"));

    const std::size_t width = header.cells.size();
    CsvRecord rec;
    while (reader.next(rec)) {
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
            } else {
                checkNumber(parseNumber(cell, v), cell, header.cells[c], file, rec.line, col);
            }
            row.values.push_back(v);
        }
        table.rows.push_back(std::move(row));
    }
    return table;
}

DataTable parseDataText(const std::string& text, const std::string& file, const std::string& labelColumn,
                        LabelColumn need, char delimiter) {
    std::stringbuf buffer(text);
    CsvReader reader(buffer, file, delimiter);
    return parseData(reader, file, labelColumn, need);
}

DataTable readDataFile(const std::string& path, const std::string& labelColumn, LabelColumn need,
                       char delimiter) {
    InputFile input(path);
    CsvReader reader(input.buffer(), inputName(path), delimiter);
    return parseData(reader, inputName(path), labelColumn, need);
}

}  // namespace cli
