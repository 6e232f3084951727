// A tour of the library: train a classifier, run it, store it, load it back, and check that
// the loaded classifier decides exactly as the trained one.
#include <iostream>
#include <sstream>

#include "clss/clastool/clastool.h"

int main() {
    // Labelled training data: two measurements per pattern, categories 0 and 1.
    tqClassifierDataProviderMemory data;
    const double points[][3] = {{0.0, 0.1, 0}, {0.3, -0.2, 0}, {-0.1, 0.2, 0},
                                {2.0, 2.1, 1}, {2.2, 1.8, 1},  {1.9, 2.3, 1}};
    for (const auto& p : points)
        data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({p[0], p[1]})),
                     static_cast<long>(p[2]));

    // The type of the training parameters chooses the technique: here k-nearest neighbours.
    tqClassifierTool tool;
    tool.train(data, tqClassifierTrainParamsKNN(3), nullptr, 0);

    // Run: the first category result is the decision (the category of least expected cost).
    const tqFeaturePattern query({1.7, 1.6});
    tqClassifierResult result;
    tool.run(query, result, nullptr, 0);
    const tqClassifierCategoryResult& best = result.categoryResults().front();
    std::cout << "decision " << best.categoryLabel() << " (class score " << best.classScore()
              << ", expected cost " << best.expectedCost() << ")\n";

    // Store and load through an archive; the loaded tool equals the stored one.
    std::ostringstream stored;
    {
        tqArchive out(stored);
        out || tool;
    }
    tqClassifierTool loaded;
    {
        std::istringstream bytes(stored.str());
        tqArchive in(bytes);
        in || loaded;
    }
    tqClassifierResult again;
    loaded.run(query, again, nullptr, 0);
    const bool same = loaded == tool && again == result;
    std::cout << (same ? "loaded classifier decides identically" : "MISMATCH after loading") << "\n";
    return same ? 0 : 1;
}
