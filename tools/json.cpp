#include "tools/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <istream>
#include <limits>

#include "tools/csv.h"

namespace cli {

namespace {

constexpr int kMaxDepth = 64;
constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

class Parser {
public:
    Parser(const std::string& text, const std::string& file) : s_(text), file_(file) {}

    JsonValue document() {
        skipSpace();
        JsonValue v = value(0);
        skipSpace();
        if (at_ < s_.size()) fail("unexpected text after the JSON value");
        return v;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw InputError(located(file_, line_, static_cast<long>(at_ - lineStart_) + 1, what));
    }
    bool atEnd() const { return at_ >= s_.size(); }
    char peek() const { return atEnd() ? '\0' : s_[at_]; }
    void skipSpace() {
        for (; !atEnd(); ++at_) {
            const char c = s_[at_];
            if (c == '\n') {
                ++line_;
                lineStart_ = at_ + 1;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                return;
            }
        }
    }
    void literal(const char* word) {
        for (const char* w = word; *w; ++w, ++at_)
            if (peek() != *w) fail("expected a JSON value");
    }

    JsonValue value(int depth) {
        if (depth > kMaxDepth) fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        JsonValue v;
        v.line = line_;
        v.column = static_cast<long>(at_ - lineStart_) + 1;
        const char c = peek();
        if (c == '{') {
            v.type = JsonValue::Type::Object;
            object(v, depth);
        } else if (c == '[') {
            v.type = JsonValue::Type::Array;
            array(v, depth);
        } else if (c == '"') {
            v.type = JsonValue::Type::String;
            v.text = string();
        } else if (c == 't' || c == 'f') {
            v.type = JsonValue::Type::Boolean;
            v.boolean = c == 't';
            literal(c == 't' ? "true" : "false");
        } else if (c == 'n') {
            literal("null");
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            v.type = JsonValue::Type::Number;
            v.number = number();
        } else {
            fail(atEnd() ? "the JSON text ends early" : "expected a JSON value");
        }
        return v;
    }

    void object(JsonValue& v, int depth) {
        ++at_;
        skipSpace();
        if (peek() == '}') return void(++at_);
        for (;;) {
            skipSpace();
            if (peek() != '"') fail("expected a key in quotes");
            const std::size_t keyAt = at_;
            const long keyColumn = static_cast<long>(at_ - lineStart_) + 1, keyLine = line_;
            std::string key = string();
            for (const auto& m : v.members)
                if (m.first == key) {
                    at_ = keyAt;
                    fail("the key \"" + key + "\" appears twice");
                }
            skipSpace();
            if (peek() != ':') fail("expected ':' after the key");
            ++at_;
            skipSpace();
            v.members.emplace_back(std::move(key), value(depth + 1));
            v.members.back().second.keyLine = keyLine;
            v.members.back().second.keyColumn = keyColumn;
            skipSpace();
            if (peek() == '}') return void(++at_);
            if (peek() != ',') fail("expected ',' or '}'");
            ++at_;
        }
    }

    void array(JsonValue& v, int depth) {
        ++at_;
        skipSpace();
        if (peek() == ']') return void(++at_);
        for (;;) {
            skipSpace();
            v.items.push_back(value(depth + 1));
            skipSpace();
            if (peek() == ']') return void(++at_);
            if (peek() != ',') fail("expected ',' or ']'");
            ++at_;
        }
    }

    unsigned hex4() {
        unsigned u = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            const char c = peek();
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) fail("expected four hex digits after \\u");
            u = u * 16 + static_cast<unsigned>(d);
        }
        return u;
    }

    static void utf8(std::string& out, unsigned u) {
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else if (u < 0x10000) {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (u >> 18));
            out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }

    std::string string() {
        ++at_;
        std::string out;
        for (;;) {
            if (atEnd()) fail("a string is not closed");
            const char c = s_[at_];
            if (c == '"') {
                ++at_;
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                fail("a control character in a string (write it as \\u00XX)");
            ++at_;
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = peek();
            ++at_;
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned u = hex4();
                    if (u >= 0xD800 && u < 0xDC00) {  // a surrogate pair stands for one code point
                        if (peek() != '\\' || (++at_, peek()) != 'u')
                            fail("an unpaired surrogate in \\u escapes");
                        ++at_;
                        const unsigned low = hex4();
                        if (low < 0xDC00 || low > 0xDFFF) fail("an unpaired surrogate in \\u escapes");
                        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                    } else if (u >= 0xDC00 && u < 0xE000) {
                        fail("an unpaired surrogate in \\u escapes");
                    }
                    utf8(out, u);
                    break;
                }
                default:
                    --at_;
                    fail("an unknown escape in a string");
            }
        }
    }

    double number() {
        // The grammar is checked here; from_chars alone would accept "inf", "1." or "01".
        const std::size_t start = at_;
        const auto digits = [&] {
            const std::size_t from = at_;
            while (peek() >= '0' && peek() <= '9') ++at_;
            return at_ > from;
        };
        if (peek() == '-') ++at_;
        if (peek() == '0') {
            ++at_;
        } else if (!digits()) {
            fail("expected a digit");
        }
        if (peek() == '.') {
            ++at_;
            if (!digits()) fail("expected a digit after the decimal point");
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            if (!digits()) fail("expected a digit in the exponent");
        }
        double v = 0.0;
        const auto res = std::from_chars(s_.data() + start, s_.data() + at_, v);
        if (res.ec != std::errc::result_out_of_range) return v;
        // from_chars leaves v alone when the text is beyond a double either way: an overflow is
        // kept as an infinity (which no JSON text can otherwise give), for the reader of the
        // value to refuse with its path; an underflow reads as zero.
        if (!tooLarge(start, at_)) return 0.0;
        return s_[start] == '-' ? -std::numeric_limits<double>::infinity()
                                : std::numeric_limits<double>::infinity();
    }

    // Whether the number s_[from, to), known to be beyond a double's range, is beyond its largest
    // value rather than its smallest: whether its first significant digit stands before the
    // decimal point once the exponent is applied.
    bool tooLarge(std::size_t from, std::size_t to) const {
        long place = 0;  // the power of ten of the first significant digit, plus one
        bool seen = false, fraction = false;
        std::size_t i = from + (s_[from] == '-');
        for (; i < to && s_[i] != 'e' && s_[i] != 'E'; ++i) {
            if (s_[i] == '.') {
                fraction = true;
            } else if (seen || s_[i] != '0') {
                seen = true;
                if (!fraction) ++place;
            } else if (fraction) {
                --place;
            }
        }
        long exponent = 0;
        bool negative = false;
        if (i < to) {
            ++i;
            if (s_[i] == '+' || s_[i] == '-') negative = s_[i++] == '-';
            for (; i < to; ++i) exponent = std::min(exponent * 10 + (s_[i] - '0'), 100000000L);
        }
        return place + (negative ? -exponent : exponent) > 0;
    }

    const std::string& s_;
    const std::string& file_;
    std::size_t at_ = 0, lineStart_ = 0;
    long line_ = 1;
};

const char* typeName(JsonValue::Type t) {
    switch (t) {
        case JsonValue::Type::Null:
            return "null";
        case JsonValue::Type::Boolean:
            return "true or false";
        case JsonValue::Type::Number:
            return "a number";
        case JsonValue::Type::String:
            return "a string";
        case JsonValue::Type::Array:
            return "an array";
        case JsonValue::Type::Object:
            return "an object";
    }
    return "";
}

}  // namespace

JsonValue parseJson(const std::string& text, const std::string& file) {
    return Parser(text, file).document();
}

JsonValue readJsonFile(const std::string& path) {
    InputFile in(path);
    std::istream stream(&in.buffer());
    std::string text;
    char block[1 << 14];
    while (stream.read(block, sizeof block) || stream.gcount() > 0) {
        text.append(block, static_cast<std::size_t>(stream.gcount()));
        if (text.size() > kMaxBytes)
            throw InputError(inputName(path) + ": longer than " + std::to_string(kMaxBytes) +
                             " bytes (is this a JSON file?)");
    }
    return parseJson(text, inputName(path));
}

void JsonNode::fail(const std::string& what) const {
    throw InputError(
        located(*file_, value_->line, value_->column, (path_.empty() ? "" : path_ + ": ") + what));
}

void JsonNode::failAtKey(const std::string& what) const {
    if (value_->keyLine == 0) fail(what);
    throw InputError(located(*file_, value_->keyLine, value_->keyColumn, path_ + ": " + what));
}

void JsonNode::expect(JsonValue::Type type, const char* what) const {
    if (value_->type != type) fail(std::string("expected ") + what + ", found " + typeName(value_->type));
}

bool JsonNode::has(const std::string& key) const {
    expect(JsonValue::Type::Object, "an object");
    for (const auto& m : value_->members)
        if (m.first == key) return true;
    return false;
}

JsonNode JsonNode::operator[](const std::string& key) const {
    expect(JsonValue::Type::Object, "an object");
    for (const auto& m : value_->members)
        if (m.first == key) return JsonNode(m.second, path_.empty() ? key : path_ + "." + key, *file_);
    fail("missing \"" + key + "\"");
}

std::vector<JsonNode> JsonNode::items() const {
    expect(JsonValue::Type::Array, "an array");
    std::vector<JsonNode> out;
    for (std::size_t i = 0; i < value_->items.size(); ++i)
        out.emplace_back(value_->items[i], path_ + "[" + std::to_string(i) + "]", *file_);
    return out;
}

std::vector<std::pair<std::string, JsonNode>> JsonNode::members() const {
    expect(JsonValue::Type::Object, "an object");
    std::vector<std::pair<std::string, JsonNode>> out;
    for (const auto& m : value_->members)
        out.emplace_back(m.first,
                         JsonNode(m.second, path_.empty() ? m.first : path_ + "." + m.first, *file_));
    return out;
}

void JsonNode::only(std::initializer_list<const char*> keys) const {
    expect(JsonValue::Type::Object, "an object");
    for (const auto& m : value_->members) {
        bool known = false;
        for (const char* k : keys) known = known || m.first == k;
        if (!known) (*this)[m.first].failAtKey("unknown key (a misspelling?)");
    }
}

double JsonNode::number() const {
    expect(JsonValue::Type::Number, "a number");
    if (!std::isfinite(value_->number)) fail("the number is out of range (beyond +-1.8e308)");
    return value_->number;
}

long JsonNode::index() const {
    const double v = number();
    if (!(v >= 0.0 && v <= 2147483647.0 && v == std::floor(v))) fail("expected a whole number >= 0");
    return static_cast<long>(v);
}

const std::string& JsonNode::string() const {
    expect(JsonValue::Type::String, "a string");
    return value_->text;
}

}  // namespace cli
