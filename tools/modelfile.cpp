#include "tools/modelfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "clss/clastool/clastool.h"
#include "tools/csv.h"
#include "tools/output.h"

namespace cli {

namespace {

const char kMagic[] = "clastool model";
const char kChecksumKey[] = "checksum crc32c ";

std::string hex8(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(v));
    return text;
}

// A line of the file's first lines, which must be short: a file of another kind is refused
// without reading a long "line" into memory.
bool shortLine(std::istream& in, std::string& line) {
    line.clear();
    for (int c = in.get(); c != std::char_traits<char>::eof(); c = in.get()) {
        if (c == '\n') return true;
        if (line.size() == 64) return false;
        line += static_cast<char>(c);
    }
    return false;
}

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
    long line_ = 3;  // the magic, format and checksum lines are read before
};

// A finite number on a line of its own; `positive`: also > 0.
double numberOn(HeaderReader& r, const std::string& text, bool positive) {
    double v = 0.0;
    if (parseNumber(text, v) != NumberKind::Number || (positive && !(v > 0.0)))
        r.fail("expected " + std::string(positive ? "a number > 0" : "a number") + ", found \"" + text + "\"");
    return v;
}

// The scale and impute lines, one value line per column unless "none".
void readPreprocessing(HeaderReader& r, ModelHeader& h) {
    Preprocessing& p = h.prep;
    if (!scaleNamed(r.keyed("scale"), p.scale)) r.fail("unknown scaling");
    for (std::size_t j = 0; p.scale != Preprocessing::Scale::None && j < h.columns.size(); ++j) {
        const std::string line = r.line();
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) r.fail("expected CENTER SCALE");
        p.centers.push_back(numberOn(r, line.substr(0, space), false));
        p.scales.push_back(numberOn(r, line.substr(space + 1), true));
    }
    if (!imputeNamed(r.keyed("impute"), p.impute)) r.fail("unknown imputation");
    for (std::size_t j = 0; p.impute != Preprocessing::Impute::None && j < h.columns.size(); ++j)
        p.fills.push_back(numberOn(r, r.line(), false));
}

// The header text after the checksum line.
std::string headerBody(const ModelHeader& h) {
    std::ostringstream out;
    out << "method " << h.method << "\n";
    out << "label-column " << escaped(h.labelColumn) << "\n";
    out << "labels " << (h.labels.kind() == LabelMap::Kind::Names ? "names" : "integers") << " "
        << h.labels.names().size() << "\n";
    for (const std::string& n : h.labels.names()) out << escaped(n) << "\n";
    out << "columns " << h.columns.size() << "\n";
    for (const std::string& c : h.columns) out << escaped(c) << "\n";
    out << "rows " << h.rows << "\n";
    out << "scale " << scaleName(h.prep.scale) << "\n";
    for (std::size_t j = 0; j < h.prep.centers.size(); ++j)
        out << exactNumber(h.prep.centers[j]) << " " << exactNumber(h.prep.scales[j]) << "\n";
    out << "impute " << imputeName(h.prep.impute) << "\n";
    for (double v : h.prep.fills) out << exactNumber(v) << "\n";
    out << "archive\n";
    return out.str();
}

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

namespace {

// Writes `body` and the archive `archive` makes to `next` (nowhere when null); returns their
// CRC-32C. A failed write marks `out`, the stream `next` belongs to.
std::uint32_t checksummed(std::ostream& out, std::streambuf* next, const std::string& body,
                          const std::function<void(std::ostream&)>& archive) {
    ChecksumBuffer buffer(next);
    std::ostream sink(&buffer);
    sink << body;
    archive(sink);
    sink.flush();
    if (!sink) out.setstate(std::ios_base::badbit);
    return buffer.crc();
}

}  // namespace

void writeModelFile(std::ostream& out, const ModelHeader& h, const std::function<void(std::ostream&)>& archive) {
    const std::string body = headerBody(h);
    out << kMagic << "\n"
        << "format " << kModelFormatVersion << "\n"
        << kChecksumKey;
    const std::streampos at = out.tellp();
    if (at != std::streampos(-1)) {
        // A seekable output takes the archive as it is made (a k-nearest-neighbour archive holds
        // every training row, so it is never held in memory whole); the checksum goes into its
        // place afterwards.
        out << "00000000\n";
        const std::uint32_t crc = checksummed(out, out.rdbuf(), body, archive);
        out.seekp(at);
        out << hex8(crc);
        out.seekp(0, std::ios_base::end);
        return;
    }
    // Any other output takes the archive twice: once for the checksum alone, once to write it.
    const std::uint32_t crc = checksummed(out, nullptr, body, archive);
    out << hex8(crc) << "\n";
    if (checksummed(out, out.rdbuf(), body, archive) != crc)
        throw std::logic_error("the archived classifier changed while it was written");
}

void writeModelFile(std::ostream& out, const ModelHeader& h, const std::string& archive) {
    writeModelFile(out, h, [&](std::ostream& sink) { sink << archive; });
}

ModelHeader readModelHeader(std::istream& in, const std::string& file) {
    // The magic text is compared before anything else is read as lines, so that a large file of
    // another kind is refused without reading it through.
    char magic[sizeof kMagic] = {};
    in.read(magic, sizeof kMagic);
    if (in.gcount() != static_cast<std::streamsize>(sizeof kMagic) ||
        std::string(magic, sizeof kMagic - 1) != kMagic || magic[sizeof kMagic - 1] != '\n')
        throw InputError(file + ": not a clastool model file");

    std::string line;
    long version = 0;
    if (!shortLine(in, line) || line.compare(0, 7, "format ") != 0 ||
        !parseCategoryNumber(line.substr(7), version))
        throw InputError(file + ": not a clastool model file (no format version)");
    if (version == 1)
        throw InputError(file +
                         ": model file format version 1 has no checksum, so damage to it cannot be "
                         "detected; train the model again with this clastool");
    if (version != kModelFormatVersion && version != 2)
        throw InputError(file + ": model file format version " + std::to_string(version) +
                         " is not supported; this clastool reads format versions 2 and " +
                         std::to_string(kModelFormatVersion));
    if (!shortLine(in, line) || line.compare(0, sizeof kChecksumKey - 1, kChecksumKey) != 0 ||
        line.size() != sizeof kChecksumKey - 1 + 8)
        throw InputError(located(file, 3, 0, "damaged model file: no checksum line"));
    const std::string expected = line.substr(sizeof kChecksumKey - 1);

    // Nothing after the checksum line is believed before the checksum matches.
    const std::streampos body = in.tellg();
    std::uint32_t crc = 0;
    std::array<char, 1 << 16> block;
    while (in.read(block.data(), block.size()) || in.gcount() > 0)
        crc = crc32c(block.data(), static_cast<std::size_t>(in.gcount()), crc);
    if (in.bad()) throw InputError(file + ": cannot read the model file");
    if (hex8(crc) != expected)
        throw InputError(file + ": damaged model file: the checksum of its contents is " + hex8(crc) +
                         ", the header records " + expected);
    in.clear();
    in.seekg(body);

    HeaderReader r(in, file);
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
    h.version = version;
    if (version >= 3) readPreprocessing(r, h);
    if (r.line() != "archive") r.fail("expected \"archive\"");
    return h;
}

void saveModel(const std::string& path, const ModelHeader& header, tqClassifierTool& tool) {
    writeFileAtomically(path, [&](std::ostream& out) {
        writeModelFile(out, header, [&](std::ostream& sink) {
            tqArchive ar(sink);
            ar || tool;
        });
    });
}

namespace {

// Runs one probe pattern; false when the classifier refuses it (an abort request passes).
bool accepts(const tqClassifierTool& tool, const tqFeaturePattern& pattern, tqClassifierResult& result) {
    try {
        tool.run(pattern, result, nullptr, 0);
        return true;
    } catch (const tqAborted&) {
        throw;
    } catch (const std::exception&) {
        return false;
    }
}

[[noreturn]] void damaged(const std::string& path, const std::string& what) {
    throw InputError(path + ": damaged model file: " + what);
}

void checkLabels(const std::set<long>& stored, const ModelHeader& header, const std::string& path) {
    const std::set<long> listed(header.labels.categories().begin(), header.labels.categories().end());
    if (stored != listed)
        damaged(path, "the header lists " + std::to_string(listed.size()) +
                          " labels, but the stored classifier knows " + std::to_string(stored.size()) +
                          (stored.size() == listed.size() ? " other ones" : ""));
}

[[noreturn]] void wrongSize(const std::string& path, const ModelHeader& header) {
    damaged(path, "the header lists " + std::to_string(header.columns.size()) +
                      " measurement columns, but the stored classifier takes another number");
}

// A k-nearest-neighbour classifier offers no list of its measurements or labels, so it is
// asked: it must take a pattern of the header's size and refuse one of another size, and with
// k = every stored row each stored label receives a vote.
void checkKnn(tqClassifierTool& tool, const tqClassifierTrainParams& params, const ModelHeader& header,
              const std::string& path) {
    const std::size_t d = header.columns.size();
    const auto zeros = [](std::size_t n) { return tqFeaturePattern(std::vector<double>(n, 0.0)); };
    tqClassifierResult result, other;
    if (header.rows == 0) {
        // Saved without the readiness check from data without a labelled row: it classifies nothing.
        if (accepts(tool, zeros(d), result))
            damaged(path, "the header records no training row, but the stored classifier has some");
        return;
    }
    tqPtrHandle<tqClassifierTrainParams> all = params.clone();
    dynamic_cast<tqClassifierTrainParamsKNN&>(*all).k(header.rows);
    all->throwIfNotReady(false);
    tool.retrain(*all, nullptr, 0);
    if (!accepts(tool, zeros(d), result) || accepts(tool, zeros(d + 1), other) ||
        (d > 1 && accepts(tool, zeros(d - 1), other)))
        wrongSize(path, header);
    std::set<long> stored;
    for (const tqClassifierCategoryResult& c : result.categoryResults()) stored.insert(c.categoryLabel());
    checkLabels(stored, header, path);
}

// A Bayesian classifier lists its labels and models; the archive at `archive` is read a second
// time into the classifier itself (its models are small).
void checkBayes(std::istream& in, std::streampos archive, const ModelHeader& header,
                const std::string& path) {
    in.clear();
    in.seekg(archive);
    tqPtrHandle<tq_Classifier> classifier;
    {
        tqArchive ar(in);
        unsigned char version = 0;
        ar || version;
        ar || classifier;
    }
    const auto* bayes = dynamic_cast<const tq_ClassifierBayesian*>(classifier.get());
    if (bayes == nullptr) damaged(path, "the stored classifier is not a bayes classifier");
    for (const tqPtrHandle<tq_CategoryModel>& model : bayes->categoryModels())
        if (model->numMeasurements() != static_cast<long>(header.columns.size())) wrongSize(path, header);
    checkLabels(std::set<long>(bayes->categoryLabels().begin(), bayes->categoryLabels().end()), header, path);
}

}  // namespace

ModelHeader loadModel(const std::string& path, tqClassifierTool& tool) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw InputError(path + ": is a directory, not a file");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path + ": cannot open: " + std::strerror(errno));
    ModelHeader header = readModelHeader(in, path);
    const std::streampos archive = in.tellg();
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

    // Check the stored classifier against the header, and give it back the working settings of
    // its training (the archive keeps only the training parameters).
    try {
        tqPtrHandle_const<tqClassifierTrainParams> params = tool.trainParams();
        const bool isKnn = dynamic_cast<const tqClassifierTrainParamsKNN*>(params.get()) != nullptr;
        const bool isBayes = dynamic_cast<const tqClassifierTrainParamsBayesian*>(params.get()) != nullptr;
        if ((header.method == "knn" && !isKnn) || (header.method == "bayes" && !isBayes))
            throw InputError(path + ": damaged model file: the stored classifier is not a " + header.method +
                             " classifier");
        if (isKnn)
            checkKnn(tool, *params, header, path);
        else
            checkBayes(in, archive, header, path);
        // A retraining with equal parameters changes nothing else; the readiness check stays off
        // because a model saved without it must load as it was saved.
        tqPtrHandle<tqClassifierTrainParams> same = params->clone();
        same->throwIfNotReady(false);
        tool.retrain(*same, nullptr, 0);
    } catch (const InputError&) {
        throw;
    } catch (const tqAborted&) {
        throw;
    } catch (const std::exception& e) {
        throw InputError(path + ": the classifier stored in the model file cannot be used: " + e.what());
    }
    return header;
}

}  // namespace cli
