// Writing results: whole files or nothing, exact numbers, and a progress bar for long work.
#ifndef CLASTOOL_TOOLS_OUTPUT_H
#define CLASTOOL_TOOLS_OUTPUT_H

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

namespace cli {

// Writes a file through `fill` into a temporary file beside `path` and renames it into place
// only when `fill` returned and everything reached the disk. If anything fails, the temporary
// file is removed, `path` is left as it was, and the exception passes (an InputError naming the
// path for a failure of the file system itself).
void writeFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& fill);

// The shortest text that reads back as exactly `v` ("0.1", "1e-05", "3").
std::string exactNumber(double v);

// A number with `digits` digits after the point, for reports.
std::string fixed(double v, int digits);

// A progress bar on standard error that appears only when standard error is a terminal and the
// work has already taken more than a second; it is erased when the work ends. Nothing is ever
// printed when standard error is not a terminal.
class Progress {
public:
    Progress(std::string what, long total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Reports that `done` of the total units are finished.
    void update(long done);

private:
    void draw(long done);

    std::string what_;
    long total_;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace cli

#endif
