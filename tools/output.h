// Writing results: whole files or nothing, exact numbers, and a progress bar for long work.
#ifndef CLASTOOL_TOOLS_OUTPUT_H
#define CLASTOOL_TOOLS_OUTPUT_H

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

// Refuses an output path before any work is done: always when it is a directory, a symbolic link
// to nothing, or names the same file as one of `inputs` (through links too); unless `force` is
// set, also when it is a symbolic link to a regular file or something other than a regular file,
// a character device or a pipe. "-", a character device, a pipe and the file that standard output
// is open on (/dev/stdout) pass. Throws InputError.
void checkOutputPath(const std::string& path, const std::vector<std::string>& inputs, bool force);

// Writes a file through `fill` into a temporary file beside `path`, flushes and syncs it, and
// renames it into place (then syncs the directory) only when `fill` returned and everything
// reached the disk. An existing target keeps its permission bits; a symbolic link is written
// through (the file it points to is replaced, never the link), and a device or pipe is written in
// place, without a temporary file; the file standard output is open on is written as "-" is. If
// anything fails, the temporary file is removed, `path` is left as it was,
// and the exception passes (an InputError naming the path and the system's reason for a failure
// of the file system itself). "-" is standard output: the whole text is made before any of it is
// written.
void writeFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& fill);

// Makes SIGINT an abort request (a second one, or one while a file is being written, ends the
// program at once with status 130), removes the temporary file of a write in progress on SIGINT
// and SIGTERM, and turns SIGXFSZ into a failed write.
void installSignalHandlers();

// The exit status of a program stopped by an abort request (128 + SIGINT).
constexpr int kInterruptedStatus = 130;

// The shortest text that reads back as exactly `v` ("0.1", "1e-05", "3").
std::string exactNumber(double v);

// A number with `digits` digits after the point, for reports.
std::string fixed(double v, int digits);

// A progress bar on standard error that appears only when standard error is a terminal and the
// work has already taken more than a second; it is erased when the work ends. Nothing is ever
// printed when standard error is not a terminal or after setQuiet(true).
class Progress {
public:
    Progress(std::string what, long total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Reports that `done` of the total units are finished.
    void update(long done);

    static void setQuiet(bool quiet) { quiet_ = quiet; }

private:
    void draw(long done);

    static bool quiet_;
    std::string what_;
    long total_;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace cli

#endif
