#include "tools/modelfile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

#include "clss/clastool/clastool.h"
#include "tools/csv.h"
#include "tools/output.h"

namespace cli {

namespace {

const char kMagic[] = "clastool model";

std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

bool unescaped(const std::string& s, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) return false;
        if (s[i] == '\\')
            out += '\\';
        else if (s[i] == 'n')
            out += '\n';
        else if (s[i] == 'r')
            out += '\r';
        else
            return false;
    }
    return true;
}

// Reads the header line by line, keeping the line number for messages.
class HeaderReader {
public:
    HeaderReader(std::istream& in, const std::string& file) : in_(in), file_(file) {}

    std::string line() {
        std::string s;
        ++line_;
        if (!std::getline(in_, s)) fail("the header ends early");
        return s;
    }
    // A line "KEY VALUE"; returns VALUE.
    std::string keyed(const std::string& key) {
        std::string s = line();
        if (s.compare(0, key.size() + 1, key + " ") != 0) fail("expected \"" + key + " ...\"");
        return s.substr(key.size() + 1);
    }
    long count(const std::string& text) {
        long v = 0;
        if (!parseCategoryNumber(text, v)) fail("expected a count, found \"" + text + "\"");
        return v;
    }
    std::string name() {
        std::string out;
        if (!unescaped(line(), out)) fail("bad escape in a name");
        return out;
    }
    // Fails naming the line read last (or missing).
    [[noreturn]] void fail(const std::string& what) const {
        throw InputError(located(file_, line_, 0, "damaged model file header: " + what));
    }

private:
    std::istream& in_;
    const std::string& file_;
    long line_ = 1;  // the magic line is read before
};

}  // namespace

bool parseCategoryNumber(const std::string& text, long& value) {
    if (text.empty() || text.size() > 10) return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > INT_MAX) return false;  // category numbers are 32-bit
    value = v;
    return true;
}

LabelMap LabelMap::fromTrainingLabels(const std::vector<std::string>& labels) {
    bool allIntegers = true;
    for (const std::string& t : labels) {
        long v;
        if (!t.empty() && !parseCategoryNumber(t, v)) {
            allIntegers = false;
            break;
        }
    }
    LabelMap map;
    if (allIntegers) {
        std::vector<long> numbers;
        for (const std::string& t : labels) {
            long v;
            if (!t.empty() && parseCategoryNumber(t, v)) numbers.push_back(v);
        }
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
        std::vector<std::string> names;
        for (long v : numbers) names.push_back(std::to_string(v));
        return LabelMap(Kind::Integers, names);
    }
    map.kind_ = Kind::Names;
    for (const std::string& t : labels)
        if (!t.empty()) map.add(t);
    return map;
}

LabelMap::LabelMap(Kind kind, std::vector<std::string> names) : kind_(kind) {
    for (const std::string& n : names) add(n);
}

long LabelMap::find(const std::string& text, bool anyInteger) const {
    if (kind_ == Kind::Integers) {
        long v;
        if (!parseCategoryNumber(text, v)) return -1;
        if (anyInteger) return v;
        return std::binary_search(categories_.begin(), categories_.end(), v) ? v : -1;
    }
    auto it = byName_.find(text);
    return it == byName_.end() ? -1 : it->second;
}

long LabelMap::add(const std::string& text) {
    if (kind_ == Kind::Integers) {
        long v;
        if (!parseCategoryNumber(text, v)) return -1;
        auto pos = std::lower_bound(categories_.begin(), categories_.end(), v);
        if (pos == categories_.end() || *pos != v) {
            names_.insert(names_.begin() + (pos - categories_.begin()), std::to_string(v));
            categories_.insert(pos, v);
        }
        return v;
    }
    auto it = byName_.find(text);
    if (it != byName_.end()) return it->second;
    const long number = static_cast<long>(names_.size());
    names_.push_back(text);
    categories_.push_back(number);
    byName_.emplace(text, number);
    return number;
}

std::string LabelMap::name(long category) const {
    if (kind_ == Kind::Names && category >= 0 && category < static_cast<long>(names_.size()))
        return names_[static_cast<std::size_t>(category)];
    return std::to_string(category);
}

void writeModelHeader(std::ostream& out, const ModelHeader& h) {
    out << kMagic << "\n";
    out << "format " << kModelFormatVersion << "\n";
    out << "method " << h.method << "\n";
    out << "label-column " << escaped(h.labelColumn) << "\n";
    out << "labels " << (h.labels.kind() == LabelMap::Kind::Names ? "names" : "integers") << " "
        << h.labels.names().size() << "\n";
    for (const std::string& n : h.labels.names()) out << escaped(n) << "\n";
    out << "columns " << h.columns.size() << "\n";
    for (const std::string& c : h.columns) out << escaped(c) << "\n";
    out << "rows " << h.rows << "\n";
    out << "archive\n";
}

ModelHeader readModelHeader(std::istream& in, const std::string& file) {
    // The magic text is compared before anything else is read as lines, so that a large file of
    // another kind is refused without reading it through.
    char magic[sizeof kMagic] = {};
    in.read(magic, sizeof kMagic);
    if (in.gcount() != static_cast<std::streamsize>(sizeof kMagic) ||
        std::string(magic, sizeof kMagic - 1) != kMagic || magic[sizeof kMagic - 1] != '\n')
        throw InputError(file + ": not a clastool model file");

    HeaderReader r(in, file);
    std::string versionText = r.line();
    long version = 0;
    if (versionText.compare(0, 7, "format ") != 0 || !parseCategoryNumber(versionText.substr(7), version))
        throw InputError(file + ": not a clastool model file (no format version)");
    if (version != kModelFormatVersion)
        throw InputError(file + ": model file format version " + std::to_string(version) +
                         " is not supported; this clastool reads format version " +
                         std::to_string(kModelFormatVersion));

    ModelHeader h;
    h.method = r.keyed("method");
    if (h.method != "knn" && h.method != "bayes") r.fail("unknown method \"" + h.method + "\"");
    if (!unescaped(r.keyed("label-column"), h.labelColumn)) r.fail("bad escape in a name");

    std::string labels = r.keyed("labels");
    LabelMap::Kind kind;
    if (labels.compare(0, 6, "names ") == 0)
        kind = LabelMap::Kind::Names, labels = labels.substr(6);
    else if (labels.compare(0, 9, "integers ") == 0)
        kind = LabelMap::Kind::Integers, labels = labels.substr(9);
    else
        r.fail("unknown label kind");
    const long nLabels = r.count(labels);
    std::vector<std::string> names;
    for (long i = 0; i < nLabels; ++i) names.push_back(r.name());
    h.labels = LabelMap(kind, names);
    if (h.labels.names() != names) r.fail("repeated or malformed label names");

    const long nColumns = r.count(r.keyed("columns"));
    for (long i = 0; i < nColumns; ++i) h.columns.push_back(r.name());
    h.rows = r.count(r.keyed("rows"));
    if (r.line() != "archive") r.fail("expected \"archive\"");
    return h;
}

void saveModel(const std::string& path, const ModelHeader& header, tqClassifierTool& tool) {
    writeFileAtomically(path, [&](std::ostream& out) {
        writeModelHeader(out, header);
        tqArchive ar(out);
        ar || tool;
    });
}

ModelHeader loadModel(const std::string& path, tqClassifierTool& tool) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path + ": cannot open: " + std::strerror(errno));
    ModelHeader header = readModelHeader(in, path);
    try {
        tqArchive ar(in);
        ar || tool;
    } catch (const std::exception& e) {
        throw InputError(path + ": the classifier stored in the model file does not load: " + e.what());
    }
    if (in.peek() != std::char_traits<char>::eof())
        throw InputError(path + ": damaged model file: unexpected bytes after the classifier");
    if (!tool.isTrained())
        throw InputError(path + ": damaged model file: the stored classifier is not trained");

    // Check that the stored technique is the one the header names, and give the classifier back
    // the working settings of its training (the archive keeps only the training parameters).
    try {
        tqPtrHandle_const<tqClassifierTrainParams> params = tool.trainParams();
        const bool isKnn = dynamic_cast<const tqClassifierTrainParamsKNN*>(params.get()) != nullptr;
        const bool isBayes = dynamic_cast<const tqClassifierTrainParamsBayesian*>(params.get()) != nullptr;
        if ((header.method == "knn" && !isKnn) || (header.method == "bayes" && !isBayes))
            throw InputError(path + ": damaged model file: the stored classifier is not a " + header.method +
                             " classifier");
        // A retraining with equal parameters changes nothing else; the readiness check stays off
        // because a model saved without it must load as it was saved.
        tqPtrHandle<tqClassifierTrainParams> same = params->clone();
        same->throwIfNotReady(false);
        tool.retrain(*same, nullptr, 0);
    } catch (const InputError&) {
        throw;
    } catch (const std::exception& e) {
        throw InputError(path + ": the classifier stored in the model file cannot be used: " + e.what());
    }
    return header;
}

}  // namespace cli
