// Label names and the model file.
//
// A model file is a short text header followed by the archived classifier tool:
//
//     clastool model            magic text
//     format 2                  version of this file layout
//     checksum crc32c 1a2b3c4d  CRC-32C of every byte after this line, to the end of the file
//     method knn                technique ("knn" or "bayes")
//     label-column label        name of the label column of the training data
//     labels names 3            label kind ("names" or "integers") and count, then one per line
//     setosa
//     ...
//     columns 4                 measurement column names, one per line
//     sepal_length
//     ...
//     rows 150                  labelled training rows
//     scale standard            scaling ("none", "standard" or "minmax"), then unless none one
//     5.84 0.825                line per column: CENTER SCALE (x becomes (x - CENTER) / SCALE)
//     ...
//     impute mean               imputation ("none", "mean" or "median"), then unless none one
//     5.84                      line per column: the value of a missing cell
//     ...
//     archive                   the archived tqClassifierTool follows, to the end of the file
//
// Names are written with backslash escapes for backslash, line feed and carriage return, numbers
// in their shortest exact form. Format 2 files are format 3 files without the scale and impute
// lines (no scaling, no imputation) and still load. A file with another format version is
// refused with a message naming the versions read; format 1 files, which had no checksum, must
// be written again.
#ifndef CLASTOOL_TOOLS_MODELFILE_H
#define CLASTOOL_TOOLS_MODELFILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tools/checksum.h"
#include "tools/preprocess.h"

class tqClassifierTool;

namespace cli {

// The format version this program writes; it also reads the one before.
constexpr long kModelFormatVersion = 3;

// The mapping between label texts in data files and the category numbers the library uses.
// Integer labels ("0", "7") are their own category numbers; otherwise every distinct label text
// is a name, numbered 0, 1, 2, ... in order of first appearance in the training data.
class LabelMap {
public:
    enum class Kind { Integers, Names };

    LabelMap() = default;
    // Builds the map from the label texts of the training rows (empty texts, the unknown label,
    // are ignored): integers when every text is a whole number >= 0, names otherwise.
    static LabelMap fromTrainingLabels(const std::vector<std::string>& labels);
    // Rebuilds a stored map.
    LabelMap(Kind kind, std::vector<std::string> names);

    Kind kind() const { return kind_; }
    // The category numbers known to the map, in the order they are shown (names: first appearance;
    // integers: ascending).
    const std::vector<long>& categories() const { return categories_; }
    // Their texts, parallel to categories().
    const std::vector<std::string>& names() const { return names_; }

    // The category number of a label text, or -1 when the map does not know it. For an integer map
    // any whole number >= 0 is accepted ("007" is 7), known or not, when `anyInteger` is set.
    long find(const std::string& text, bool anyInteger = false) const;
    // Adds a label text that the training data did not have (a category no model knows), and
    // returns its number; returns the existing number for a known text.
    long add(const std::string& text);
    // The text of a category number (its decimal form when the map does not know it).
    std::string name(long category) const;

    bool operator==(const LabelMap& o) const { return kind_ == o.kind_ && names_ == o.names_; }

private:
    Kind kind_ = Kind::Names;
    std::vector<std::string> names_;
    std::vector<long> categories_;
    std::map<std::string, long> byName_;
};

// True for a whole number >= 0 that fits a category number; sets `value`.
bool parseCategoryNumber(const std::string& text, long& value);

// Everything the header records besides the magic text and the version.
struct ModelHeader {
    std::string method;  // "knn" or "bayes"
    std::string labelColumn;
    LabelMap labels;
    std::vector<std::string> columns;
    long rows = 0;
    Preprocessing prep;  // applied to every row before the classifier sees it
    long version = kModelFormatVersion;  // the format version of the file read
};

// Writes a whole model file: the header, its checksum line included, then the archive that
// `archive` writes to the stream it is given. On a seekable `out` the archive is written as it
// is made; elsewhere `archive` is called twice (checksum first) and must write the same bytes.
void writeModelFile(std::ostream& out, const ModelHeader& header, const std::function<void(std::ostream&)>& archive);
// The same with the archive's bytes at hand.
void writeModelFile(std::ostream& out, const ModelHeader& header, const std::string& archive);

// Reads the header up to and including the line "archive", leaving `in` at the archive. `in`
// must be seekable: the checksum of the rest of the file is compared (reading it through in
// blocks) before anything after the checksum line is believed. Throws InputError naming `file`
// for a file that is not a model file, one of another format version, a checksum that does not
// match, or a damaged header.
ModelHeader readModelHeader(std::istream& in, const std::string& file);

// Writes a whole model file (atomically: no partial file is ever left).
void saveModel(const std::string& path, const ModelHeader& header, tqClassifierTool& tool);

// Reads a whole model file into `tool`. Throws InputError naming `path` when the file cannot be
// read, is not a model file, has another format version, is damaged (checksum), holds an archive
// that does not load, or when the header's technique, number of measurements or labels differ
// from those of the stored classifier.
ModelHeader loadModel(const std::string& path, tqClassifierTool& tool);

}  // namespace cli

#endif
