// A small host program: builds feature patterns (one with a missing measurement), a
// labelled data provider and a classification result, stores them in an archive file, loads
// them back, checks that what came back equals what went in, and prints a short summary.
//
// Usage: roundtrip [archive-file]   (default: clastool-roundtrip.arc in the temporary directory)
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"

namespace {

using PatternHandle = tqPtrHandle_const<tqFeaturePattern>;

void printPattern(const tqFeaturePattern& p) {
    std::cout << "  [";
    for (long i = 0; i < p.numMeasurements(); ++i) {
        if (i > 0) std::cout << ", ";
        if (p.isValid(i))
            std::cout << p.featureMeasurement(i, true);
        else
            std::cout << "missing";
    }
    std::cout << "]";
}

void printProvider(const tqClassifierDataProviderMemory& data) {
    std::cout << "data provider \"" << data.name() << "\" (" << data.description()
              << "): " << data.numPatterns() << " patterns of " << data.numMeasurements()
              << " measurements\n";
    for (long i = 0; i < data.numPatterns(); ++i) {
        printPattern(*data.featurePattern(i));
        const long label = data.categoryLabel(i);
        std::cout << "  label " << (label == -1 ? std::string("unknown") : std::to_string(label)) << "\n";
    }
}

void printResult(const tqClassifierResult& result) {
    std::cout << "classification result (decision first):\n";
    for (const tqClassifierCategoryResult& c : result.categoryResults()) {
        std::printf("  category %ld  match %.4f  class score %.4f  expected cost %.4f\n", c.categoryLabel(),
                    c.matchScore(), c.classScore(), c.expectedCost());
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string path =
            argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "clastool-roundtrip.arc").string();
        // Three labelled patterns; the second has its third measurement missing, and the
        // last one's category is unknown.
        tqPtrHandle<tqClassifierDataProvider> data(new tqClassifierDataProviderMemory());
        auto& memory = static_cast<tqClassifierDataProviderMemory&>(*data);
        memory.setName("greenhouse");
        memory.setDescription("leaf width, leaf length, stem height");
        memory.addData(PatternHandle(new tqFeaturePattern({4.1, 9.3, 30.0})), 0);
        memory.addData(PatternHandle(new tqFeaturePattern({6.8, 12.5, -1.0}, {2})), 1);
        memory.addData(PatternHandle(new tqFeaturePattern({5.0, 10.1, 28.5})), -1);

        // A result as a classifier would build it: match scores weighed by category
        // frequencies, with a costly confusion of category 1 for category 0.
        tqClassifierFrequencies frequencies;
        frequencies.categoryFrequencyOverride(1, 2.0);
        tqClassifierCosts costs;
        costs.misclassificationCostOverride(1, 0, 4.0);
        tqClassifierResult result({tqClassifierCategoryResult(0, 1.0), tqClassifierCategoryResult(1, 0.4)},
                                  frequencies, costs, 0.0);

        std::ofstream out(path, std::ios::binary);
        {
            tqArchive ar(out);
            ar || data || frequencies || costs || result;
        }
        out.close();
        if (!out) throw std::runtime_error("cannot write " + path);

        tqPtrHandle<tqClassifierDataProvider> dataBack;
        tqClassifierFrequencies frequenciesBack;
        tqClassifierCosts costsBack;
        tqClassifierResult resultBack;
        {
            std::ifstream in(path, std::ios::binary);
            if (!in) throw std::runtime_error("cannot read " + path);
            tqArchive ar(in);
            ar || dataBack || frequenciesBack || costsBack || resultBack;
        }

        const auto* memoryBack = dynamic_cast<const tqClassifierDataProviderMemory*>(dataBack.get());
        const bool same = memoryBack && *memoryBack == memory && frequenciesBack == frequencies &&
                          costsBack == costs && resultBack == result;

        printProvider(memoryBack ? *memoryBack : memory);
        printResult(resultBack);
        std::cout << "archive " << path << ": "
                  << (same ? "loaded objects equal the stored ones" : "MISMATCH") << "\n";
        return same ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "roundtrip: " << e.what() << "\n";
        return 2;
    }
}
