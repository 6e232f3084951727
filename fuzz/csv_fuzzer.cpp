// libFuzzer target: the program's CSV reader on untrusted text. The first byte chooses whether
// the label column is required or optional, which column name is asked for and whether the file
// has a header row; the rest is the
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
        cli::ColumnChoice choice;
        choice.need = need;
        choice.labelColumn = labelColumn;
        choice.noHeader = (data[0] & 4) != 0;
        const cli::DataTable table = cli::parseDataText(text, "input.csv", choice);
        // One value per measurement column in every row, and a validity byte per value if any.
        if (table.values.size() != table.size() * table.width()) __builtin_trap();
        if (!table.validity.empty() && table.validity.size() != table.values.size()) __builtin_trap();
        for (int id : table.labelIds)
            if (id >= static_cast<int>(table.labelTexts.size())) __builtin_trap();
    } catch (const cli::InputError&) {
    }
    return 0;
}
