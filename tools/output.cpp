#include "tools/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "tools/csv.h"

namespace cli {

void writeFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& fill) {
    // The temporary file lives in the target's directory so that the final rename stays within
    // one file system and is atomic.
    std::vector<char> name(path.begin(), path.end());
    const std::string suffix = ".tmp-XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) throw InputError(path + ": cannot create: " + std::strerror(errno));
    // mkstemp makes the file private; give it the permissions a plain new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    const std::string tmp(name.data());
    try {
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            if (!out) throw InputError(path + ": cannot write: " + std::strerror(errno));
            fill(out);
            out.flush();
            if (!out) throw InputError(path + ": cannot write: " + std::strerror(errno));
        }
        if (std::rename(tmp.c_str(), path.c_str()) != 0)
            throw InputError(path + ": cannot write: " + std::strerror(errno));
    } catch (...) {
        std::remove(tmp.c_str());
        throw;
    }
}

std::string exactNumber(double v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

std::string fixed(double v, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

Progress::Progress(std::string what, long total)
    : what_(std::move(what)),
      total_(total),
      enabled_(::isatty(STDERR_FILENO) == 1 && total > 0),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {}

Progress::~Progress() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
}

void Progress::update(long done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    // Appear only after a second of work, then redraw at most ten times a second.
    if (now - start_ < std::chrono::seconds(1)) return;
    if (shown_ && now - lastDraw_ < std::chrono::milliseconds(100) && done < total_) return;
    lastDraw_ = now;
    draw(done);
}

void Progress::draw(long done) {
    const int width = 30;
    const double share = total_ > 0 ? static_cast<double>(done) / static_cast<double>(total_) : 1.0;
    const int filled = static_cast<int>(share * width);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    std::fprintf(stderr, "\r%s [%s] %3d%% (%ld/%ld)", what_.c_str(), bar.c_str(),
                 static_cast<int>(share * 100.0), done, total_);
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace cli
