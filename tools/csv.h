// Reading labelled measurement tables from CSV files.
//
// The rules, which every command shares:
// - The first row is a header naming the columns; names must be distinct and non-empty. Without
//   a header (ColumnChoice::noHeader) the first row is data and the columns are named "0", "1", ...
// - Cells are separated by commas, semicolons or tabs: the one given, or else the first of them
//   that the header row holds outside quotes (commas for a single column). A cell may be quoted
//   with double quotes ("" inside a quoted cell is one quote, and a quoted cell may span lines).
//   Spaces, and tabs unless they separate cells, around an unquoted cell are ignored. Lines may end in LF or
//   CRLF; a UTF-8 byte-order mark is skipped; lines with no characters at all are skipped.
// - Every row has exactly as many cells as the header.
// - A measurement cell is a decimal number, or one of the missing-value markers (an empty cell,
//   "NA", "NaN" or "?", case-insensitive), which makes that measurement invalid.
// - The label column is the one named "label", or the one given by name or 0-based index; where
//   the labels are required and none is given, the last column when none is named "label". A
//   label cell holding a missing-value marker is the unknown label.
// - The measurement columns are all others, or those chosen (ColumnChoice); the cells of other
//   columns are not read as numbers.
//
// Every failure throws CsvError whose message names the file, the line and, where one is to
// blame, the column: "data.csv:4:3: ...". Lines and columns count from 1.
#ifndef CLASTOOL_TOOLS_CSV_H
#define CLASTOOL_TOOLS_CSV_H

#include <cstddef>
#include <map>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cli {

// The text with terminal control characters (and NUL) written as \xNN, so that a message
// quoting data cannot drive the terminal or be cut short. Applying it twice changes nothing more.
std::string printable(const std::string& text);

// A failure that the user has to fix in an input file (or on the command line). The message is
// made printable here, before a NUL in quoted data could end the C string that what() returns.
class InputError : public std::runtime_error {
public:
    explicit InputError(const std::string& what) : std::runtime_error(printable(what)) {}
};

// "FILE:LINE:COLUMN: what" (column 0 leaves the column out, line 0 the line).
std::string located(const std::string& file, long line, long column, const std::string& what);

// One CSV record: its cells and the line on which it starts.
struct CsvRecord {
    long line = 0;
    std::vector<std::string> cells;
};

// The longest record (a line, or the lines of a quoted cell that spans several) a CSV file may
// hold. It bounds the memory a hostile or binary file can make the reader take.
constexpr std::size_t kMaxRecordBytes = std::size_t{1} << 20;

// Reads records one at a time from `in` (the file name is used in messages only), in blocks
// into a buffer of its own, so that memory follows the parsed data, not the file. Throws
// InputError for a quoted cell that is not closed, characters after a closing quote, a NUL byte
// (a binary file) or a record longer than kMaxRecordBytes; a read error of the underlying buffer
// passes as it is thrown.
class CsvReader {
public:
    // `delimiter` is ',', ';' or '\t', or 0 to take it from the first record.
    CsvReader(std::streambuf& in, std::string file, char delimiter = ',');
    // Reads the next record that has any characters; false at the end of the input.
    bool next(CsvRecord& record);
    // The same, as views of the cells in the reader's buffer, valid until the next call.
    bool nextCells(std::vector<std::string_view>& cells, long& line);

private:
    int at(std::size_t offset);
    int refill(std::size_t offset);
    bool isDelimiter(int c) const;
    bool isBlankHere(int c) const;
    std::size_t quotedCell(std::size_t at, long column, std::size_t& end);
    std::size_t plainCell(std::size_t at, long column, std::size_t& begin, std::size_t& end);
    [[noreturn]] void fail(long line, long column, const std::string& what) const;

    std::streambuf& in_;
    std::string file_;
    char delimiter_;
    long line_ = 1;
    // The unread input is buffer_[base_, end_); offsets within a record count from base_, the
    // record's start, so that they survive a refill that moves the record to the front.
    std::vector<char> buffer_;
    std::size_t base_ = 0, end_ = 0;
    bool eof_ = false;
    std::vector<std::pair<std::size_t, std::size_t>> spans_;  // the current record's cells
};

// Splits the whole text of `file` into records (header included) with the quoting rules above.
std::vector<CsvRecord> splitCsv(const std::string& text, const std::string& file);

// The name of an input in messages: "standard input" for "-", else the path.
std::string inputName(const std::string& path);

// A read-only file opened for CSV reading ("-" is standard input, which stays open): refuses a directory, and
// throws InputError naming the path and the system's reason for a failed open or read.
class InputFile {
public:
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    std::streambuf& buffer();

private:
    class Buffer;
    std::string path_;
    int fd_;
    std::vector<char> bytes_;
    Buffer* buffer_;
};

// Reads every record of a small CSV file (a cost matrix), bounded as CsvReader is.
std::vector<CsvRecord> readCsvRecords(const std::string& path);

// The delimiter that --delimiter names: ',' or ';' for themselves, '\t' for "tab", 0 (decide from
// the header row) for "". Throws InputError for anything else.
char delimiterNamed(const std::string& name);

// True for the missing-value markers: "", "NA", "NaN", "?" (case-insensitive).
bool isMissingMarker(std::string_view cell);

// What a measurement cell holds.
enum class NumberKind {
    Number,      // a finite decimal number ("1", "-2.5", "3e-4", "+7")
    NotANumber,  // anything else
    OutOfRange,  // a decimal number beyond the range of a double ("1e309")
    Infinite,    // "inf", "-Infinity" and the like: refused, as no measurement is infinite
};

// Classifies a whole cell; sets `value` for a number (an underflow reads as the nearest double).
NumberKind parseNumber(std::string_view cell, double& value);

// A data file read under the rules above: the chosen measurement columns of every row in one
// row-major matrix, as the library's batch view takes them, with one validity byte per cell only
// when a cell is missing, and each row's label as a number into the table's distinct label texts.
struct DataTable {
    std::string file;
    std::vector<std::string> header;   // every column name of the file, in file order
    std::vector<std::string> columns;  // measurement column names, in the order chosen
    std::vector<long> positions;       // the 1-based file column of each measurement
    std::string labelColumn;           // empty when the table has no label column
    long labelColumnPosition = -1;     // 1-based column of the label in the file, -1 if none
    bool labelFromLastColumn = false;  // no column was named "label", so the last one is used

    std::vector<double> values;             // size() x width(), row after row
    std::vector<unsigned char> validity;    // empty when every cell is valid, else as values (0: missing)
    std::vector<long> lines;                // the line on which each row starts
    std::vector<int> labelIds;              // per row, into labelTexts; -1: the unknown label
    std::vector<std::string> labelTexts;    // the distinct labels, in order of first appearance

    std::size_t size() const { return lines.size(); }
    std::size_t width() const { return columns.size(); }
    const double* row(std::size_t r) const { return values.data() + r * width(); }
    bool isValid(std::size_t r, std::size_t j) const {
        return validity.empty() || validity[r * width() + j] != 0;
    }
    // The first missing measurement of row r, or -1.
    long firstInvalid(std::size_t r) const;
    // The label text of row r, empty for the unknown label.
    const std::string& label(std::size_t r) const;
    // The 1-based file column of measurement `index` (for messages).
    long fileColumn(long index) const { return positions[static_cast<std::size_t>(index)]; }

    // Appends a row (tables made in memory, as the demo's).
    void addRow(long line, const std::vector<double>& measurements, const std::string& labelText);
    // Marks measurement j of row r missing.
    void markInvalid(std::size_t r, std::size_t j);
    // Rows [begin, end) as a table of their own.
    DataTable slice(std::size_t begin, std::size_t end) const;
};

// How the label column is treated.
enum class LabelColumn {
    Required,  // the file must have it
    Optional,  // used when present (classifying a file that may still carry its labels)
};

// Which columns of a file are read, and how. Column references are names or, when no column has
// that name, 0-based file column indices (the label column counted).
struct ColumnChoice {
    std::string labelColumn;           // empty: "label", else the last column (when required)
    LabelColumn need = LabelColumn::Required;
    std::vector<std::string> columns;  // the measurement columns, in this order; empty: all others
    std::vector<std::string> ignore;   // columns left out
    bool modelColumns = false;         // `columns` are a model's names: all must be there, by name
    bool noHeader = false;             // the first row is data; columns are named by their index
    char delimiter = 0;                // CsvReader's (0: from the header row)
};

// Reads a data file.
DataTable readDataFile(const std::string& path, const ColumnChoice& choice);

// Parses data from text (the file name is used in messages only).
DataTable parseDataText(const std::string& text, const std::string& file, const ColumnChoice& choice);

// Parses data from a stream of records.
DataTable parseData(CsvReader& reader, const std::string& file, const ColumnChoice& choice);

}  // namespace cli

#endif
