// libFuzzer target: the program's model-file reader on untrusted bytes. Random damage would
// nearly always end at the checksum, so when the first byte is odd the harness first writes the
// right checksum into the input's checksum line, and the mutations reach the header checks and
// the archive behind it. A loaded model is exercised (fuzz/exercise.h). An InputError is an
// accepted outcome; a crash, a sanitizer report, a leak or another exception is a finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "clss/clastool/clastool.h"
#include "fuzz/exercise.h"
#include "tools/csv.h"
#include "tools/modelfile.h"

namespace {

// Rewrites the eight hex digits after "checksum crc32c " to the CRC-32C of what follows the line.
void fixChecksum(std::string& file) {
    const std::string key = "\nchecksum crc32c ";
    const std::size_t at = file.find(key);
    if (at == std::string::npos) return;
    const std::size_t digits = at + key.size();
    const std::size_t body = digits + 9;  // eight digits and the line's end
    if (body > file.size()) return;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x",
                  static_cast<unsigned>(cli::crc32c(file.data() + body, file.size() - body)));
    file.replace(digits, 8, hex);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) fixChecksum(file);
    static const std::string path = "/tmp/clastool-modelfile-fuzz-" + std::to_string(::getpid());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
    tqClassifierTool tool;
    try {
        cli::loadModel(path, tool);
    } catch (const cli::InputError&) {
        return 0;
    }
    fuzz::exercise(tool);
    return 0;
}
