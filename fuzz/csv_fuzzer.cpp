// libFuzzer target: the program's CSV reader on untrusted text. The first byte chooses whether
// the label column is required or optional and which column name is asked for; the rest is the
// file. An InputError (the reader's message for bad input) is an accepted outcome; a crash, a
// sanitizer report, a leak or another exception is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/csv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const cli::LabelColumn need = (data[0] & 1) ? cli::LabelColumn::Optional : cli::LabelColumn::Required;
    const std::string labelColumn = (data[0] & 2) ? "label" : "";
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        const cli::DataTable table = cli::parseDataText(text, "input.csv", labelColumn, need);
        // Every row has one value per measurement column, and its invalid ones among them.
        for (const cli::DataRow& row : table.rows) {
            if (row.values.size() != table.columns.size()) __builtin_trap();
            for (long j : row.invalid)
                if (j < 0 || static_cast<std::size_t>(j) >= row.values.size()) __builtin_trap();
        }
    } catch (const cli::InputError&) {
    }
    return 0;
}
