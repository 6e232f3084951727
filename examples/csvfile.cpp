// Train on a CSV file and classify its rows: the smallest complete program over a file of your
// own. Usage: csvfile DATA.csv (a header row, a column named "label"); without an argument it
// reads a small built-in table.
#include <fstream>
#include <iostream>
#include <sstream>

#include "clss/clastool/clastool.h"

int main(int argc, char** argv) {
    std::istringstream builtIn(
        "length,width,label\n"
        "1.0,0.5,short\n1.2,0.4,short\n0.9,0.6,short\n"
        "3.1,1.0,long\n2.8,1.2,long\n3.3,0.9,long\n");
    std::ifstream file;
    if (argc > 1) file.open(argv[1]);
    if (argc > 1 && !file) {
        std::cerr << "cannot open " << argv[1] << "\n";
        return 1;
    }
    try {
        // The label texts become category numbers 0, 1, ...; labelNames maps them back.
        const tqLabelledData table = tqReadCsvData(argc > 1 ? static_cast<std::istream&>(file) : builtIn);

        tqClassifierTool tool;
        tool.train(table.data, tqClassifierTrainParamsBayesian(), nullptr, 0);

        long correct = 0;
        for (long i = 0; i < table.data.numPatterns(); ++i) {
            tqClassifierResult result;
            tool.run(*table.data.featurePattern(i), result, nullptr, 0);
            const long decision = result.categoryResults().front().categoryLabel();
            correct += decision == table.data.categoryLabel(i);
        }
        std::cout << table.data.numPatterns() << " rows, " << table.columns.size() << " measurements, "
                  << table.labelNames.size() << " categories; " << correct
                  << " rows decided as labelled\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
