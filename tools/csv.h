// Reading labelled measurement tables from CSV files.
//
// The rules, which every command shares:
// - The first row is a header naming the columns; names must be distinct and non-empty.
// - Cells are separated by commas, semicolons or tabs: the one given, or else the first of them
//   that the header row holds outside quotes (commas for a single column). A cell may be quoted
//   with double quotes ("" inside a quoted cell is one quote, and a quoted cell may span lines).
//   Spaces, and tabs unless they separate cells, around an unquoted cell are ignored. Lines may end in LF or
//   CRLF; a UTF-8 byte-order mark is skipped; lines with no characters at all are skipped.
// - Every row has exactly as many cells as the header.
// - A measurement cell is a decimal number, or one of the missing-value markers (an empty cell,
//   "NA", "NaN" or "?", case-insensitive), which makes that measurement invalid.
// - The label column is the one named "label", or the one given by name; where the labels are
//   required and no name is given, the last column when none is named "label". A label cell holding a
//   missing-value marker is the unknown label.
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

// Reads records one at a time from `in` (the file name is used in messages only), so that memory
// follows the parsed data, not the file. Throws InputError for a quoted cell that is not closed,
// characters after a closing quote, a NUL byte (a binary file) or a record longer than
// kMaxRecordBytes; a read error of the underlying buffer passes as it is thrown.
class CsvReader {
public:
    // `delimiter` is ',', ';' or '\t', or 0 to take it from the first record.
    CsvReader(std::streambuf& in, std::string file, char delimiter = ',');
    // Reads the next record that has any characters; false at the end of the input.
    bool next(CsvRecord& record);

private:
    bool nextRecord(CsvRecord& record);
    int peek();
    bool isDelimiter(int c) const;
    bool isBlankHere(int c) const;
    int take();
    bool crBeforeLf();
    std::string quotedCell(long column);
    std::string plainCell(long column, std::string start);

    std::streambuf& in_;
    std::string file_;
    char delimiter_;
    long line_ = 1;
    std::size_t recordBytes_ = 0;
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
bool isMissingMarker(const std::string& cell);

// What a measurement cell holds.
enum class NumberKind {
    Number,      // a finite decimal number ("1", "-2.5", "3e-4", "+7")
    NotANumber,  // anything else
    OutOfRange,  // a decimal number beyond the range of a double ("1e309")
    Infinite,    // "inf", "-Infinity" and the like: refused, as no measurement is infinite
};

// Classifies a whole cell; sets `value` for a number (an underflow reads as the nearest double).
NumberKind parseNumber(const std::string& cell, double& value);

// One data row: the measurements in column order (label column removed), the indices of invalid
// ones, and the raw label text.
struct DataRow {
    long line = 0;
    std::vector<double> values;
    std::vector<long> invalid;
    std::string label;
};

// A data file read under the rules above.
struct DataTable {
    std::string file;
    std::vector<std::string> columns;  // measurement column names, in file order
    std::string labelColumn;           // empty when the table has no label column
    long labelColumnPosition = -1;     // 1-based column of the label in the file, -1 if none
    bool labelFromLastColumn = false;  // no column was named "label", so the last one is used
    std::vector<DataRow> rows;

    // The 1-based file column of measurement `index` (for messages).
    long fileColumn(long index) const;
};

// How the label column is treated.
enum class LabelColumn {
    Required,  // the file must have it
    Optional,  // used when present (classifying a file that may still carry its labels)
};

// Reads a data file. `labelColumn` names the label column ("label" when empty); `delimiter` is
// CsvReader's (0: from the header row).
DataTable readDataFile(const std::string& path, const std::string& labelColumn, LabelColumn need,
                       char delimiter = 0);

// Parses data from text (the file name is used in messages only).
DataTable parseDataText(const std::string& text, const std::string& file, const std::string& labelColumn,
                        LabelColumn need, char delimiter = 0);

// Parses data from a stream of records.
DataTable parseData(CsvReader& reader, const std::string& file, const std::string& labelColumn,
                    LabelColumn need);

}  // namespace cli

#endif
