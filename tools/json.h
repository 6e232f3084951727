// A small strict JSON reader for the program's hand-written input files (decision trees, rule
// tables): objects, arrays, strings with every escape, numbers, true, false and null, as the
// JSON standard has them, and nothing else (no comments, no trailing commas, no NaN). Every
// value keeps the line and column where it starts, so that a message can point at it.
#ifndef CLASTOOL_TOOLS_JSON_H
#define CLASTOOL_TOOLS_JSON_H

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace cli {

struct JsonValue {
    enum class Type { Null, Boolean, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0.0;                                     // +-infinity: beyond the range of a double
    std::string text;                                        // String
    std::vector<JsonValue> items;                            // Array
    std::vector<std::pair<std::string, JsonValue>> members;  // Object, in file order, keys distinct
    long line = 0, column = 0;
    long keyLine = 0, keyColumn = 0;  // where the key of a member of an object starts (0: none)
};

// Parses a whole JSON text. Throws InputError "FILE:LINE:COLUMN: what" for a syntax error, a
// repeated key, or nesting deeper than 64 levels. A number beyond the largest double is kept as
// an infinity (number() refuses it with its path), one below the smallest as zero.
JsonValue parseJson(const std::string& text, const std::string& file);

// Reads and parses a JSON file (a directory or an unreadable file is refused as for data files).
JsonValue readJsonFile(const std::string& path);

// A value and its path from the root ("nodes[3].predicate.low"), for reading a document of a
// known shape; every refusal names the file, the value's line and column, and the path.
class JsonNode {
public:
    JsonNode(const JsonValue& value, std::string path, const std::string& file)
        : value_(&value), path_(std::move(path)), file_(&file) {}

    const JsonValue& value() const { return *value_; }
    const std::string& path() const { return path_; }
    bool has(const std::string& key) const;
    // The member `key` of an object (refused when missing).
    JsonNode operator[](const std::string& key) const;
    // The elements of an array.
    std::vector<JsonNode> items() const;
    // The members of an object, in file order.
    std::vector<std::pair<std::string, JsonNode>> members() const;
    // Refuses an object with a member not in `keys` (a misspelt key would otherwise be ignored).
    void only(std::initializer_list<const char*> keys) const;

    double number() const;  // refused when beyond the range of a double
    long index() const;     // a whole number >= 0
    const std::string& string() const;

    [[noreturn]] void fail(const std::string& what) const;
    // The same, placed at the key of a member of an object (a misspelt key, a column name).
    [[noreturn]] void failAtKey(const std::string& what) const;

private:
    void expect(JsonValue::Type type, const char* what) const;

    const JsonValue* value_;
    std::string path_;
    const std::string* file_;
};

}  // namespace cli

#endif
