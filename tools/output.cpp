#include "tools/output.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <streambuf>

#include "platform/attention.h"
#include "tools/csv.h"

namespace cli {

namespace {

// The temporary file of the write in progress, for the signal handlers (empty when none).
char gTempPath[PATH_MAX + 16];
volatile std::sig_atomic_t gWriting = 0;

extern "C" void onInterrupt(int) {
    const bool second = tfAttentionCheck() != 0;
    tfRequestAbort();
    if (!second && !gWriting) return;  // the work stops at its next check
    if (gWriting) ::unlink(gTempPath);
    static const char msg[] = "clastool: interrupted\n";
    (void)!::write(STDERR_FILENO, msg, sizeof msg - 1);
    ::_exit(kInterruptedStatus);
}

extern "C" void onTerminate(int sig) {
    if (gWriting) ::unlink(gTempPath);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Marks a temporary file as the one to remove if a signal ends the program.
class TempFileGuard {
public:
    explicit TempFileGuard(const std::string& path) {
        std::memcpy(gTempPath, path.c_str(), path.size() + 1);
        gWriting = 1;
    }
    ~TempFileGuard() { gWriting = 0; }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
};

// An output buffer over a file descriptor that keeps the errno of its first failed write. It
// seeks only in a regular file: a device or a pipe takes its bytes in order.
class FdBuffer : public std::streambuf {
public:
    explicit FdBuffer(int fd) : fd_(fd) {
        setp(bytes_, bytes_ + sizeof bytes_);
        struct stat st {};
        seekable_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    }
    int error() const { return error_; }

protected:
    int_type overflow(int_type c) override {
        if (!drain()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    int sync() override { return drain() ? 0 : -1; }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        if (!seekable_ || !drain()) return pos_type(off_type(-1));
        const int whence = dir == std::ios_base::beg ? SEEK_SET : dir == std::ios_base::cur ? SEEK_CUR : SEEK_END;
        const off_t at = ::lseek(fd_, static_cast<off_t>(off), whence);
        if (at < 0) error_ = errno;
        return pos_type(off_type(at));
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }

private:
    bool drain() {
        const char* p = pbase();
        while (error_ == 0 && p < pptr()) {
            const ssize_t put = ::write(fd_, p, static_cast<std::size_t>(pptr() - p));
            if (put < 0 && errno != EINTR) error_ = errno;
            if (put > 0) p += put;
        }
        setp(bytes_, bytes_ + sizeof bytes_);
        return error_ == 0;
    }

    int fd_;
    int error_ = 0;
    bool seekable_ = false;
    char bytes_[1 << 16];
};

[[noreturn]] void failWrite(const std::string& path, int error) {
    throw InputError(path + ": cannot write: " + std::strerror(error));
}

// Runs `fill` into an open descriptor and flushes it; throws naming `path`.
void fillDescriptor(int fd, const std::string& path, const std::function<void(std::ostream&)>& fill) {
    FdBuffer buffer(fd);
    std::ostream out(&buffer);
    fill(out);
    out.flush();
    if (buffer.error() != 0) failWrite(path, buffer.error());
    if (!out) failWrite(path, EIO);
}

// The directory part of a path ("." for a bare name).
std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void syncDirectory(const std::string& path) {
    const int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) failWrite(path, errno);
    const int rc = ::fsync(dir);
    const int error = errno;
    ::close(dir);
    // Some file systems cannot sync a directory; the rename itself has happened.
    if (rc != 0 && error != EINVAL && error != EROFS) failWrite(path, error);
}

// A device or pipe cannot be replaced by a rename: it is written as it is.
void writeDirectly(const std::string& path, const std::function<void(std::ostream&)>& fill) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) failWrite(path, errno);
    try {
        fillDescriptor(fd, path, fill);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) failWrite(path, errno);
}

void writeThroughTemporary(const std::string& path, const std::function<void(std::ostream&)>& fill) {
    if (path.size() > PATH_MAX) failWrite(path, ENAMETOOLONG);
    // The temporary file lives in the target's directory so that the final rename stays within
    // one file system and is atomic.
    std::string name = path + ".tmp-XXXXXX";
    // The signals that remove the temporary file wait until it is known to their handlers.
    sigset_t ending, previous;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, sig);
    ::sigprocmask(SIG_BLOCK, &ending, &previous);
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        throw InputError(path + ": cannot create: " + std::strerror(error));
    }
    TempFileGuard guard(name);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    try {
        // An existing file keeps its permission bits; a new one gets those of a plain new file.
        struct stat st {};
        mode_t mode;
        if (::stat(path.c_str(), &st) == 0) {
            mode = st.st_mode & 07777;
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        }
        if (::fchmod(fd, mode) != 0) failWrite(path, errno);
        fillDescriptor(fd, path, fill);
        if (::fsync(fd) != 0) failWrite(path, errno);
    } catch (...) {
        ::close(fd);
        ::unlink(name.c_str());
        throw;
    }
    const int closed = ::close(fd);
    const int error = errno;
    if (closed != 0 || std::rename(name.c_str(), path.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(name.c_str());
        failWrite(path, closed != 0 ? error : renameError);
    }
    syncDirectory(path);
}

// A character device or a pipe takes what is written to it in place; nothing there can be
// replaced or lost, so it needs no --force.
bool writtenInPlace(const struct stat& st) { return S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode); }

// True when `st` is the file that standard output is open on (/dev/stdout, /dev/fd/1, or the very
// file the shell redirected it to).
bool isStandardOutput(const struct stat& st) {
    struct stat out {};
    return ::fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == st.st_dev && out.st_ino == st.st_ino;
}

}  // namespace

void checkOutputPath(const std::string& path, const std::vector<std::string>& inputs, bool force) {
    if (path == "-") return;
    struct stat link {};
    const bool isLink = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) {
        if (isLink) throw InputError(path + ": is a symbolic link to a file that does not exist");
        return;  // a new file
    }
    if (S_ISDIR(target.st_mode)) throw InputError(path + ": is a directory; name an output file");
    for (const std::string& input : inputs) {
        // "-" reads standard input, which may have been redirected from the very file named as
        // output: replacing it would lose the data read.
        struct stat in {};
        const bool read = input == "-" ? ::fstat(STDIN_FILENO, &in) == 0 && S_ISREG(in.st_mode)
                                       : ::stat(input.c_str(), &in) == 0;
        if (read && in.st_dev == target.st_dev && in.st_ino == target.st_ino)
            throw InputError(path +
                             (input == "-" ? ": is the file standard input reads" : ": is the input file " + input) +
                             "; the output must be another file");
    }
    if (force || writtenInPlace(target) || isStandardOutput(target)) return;
    if (isLink) throw InputError(path + ": is a symbolic link; give --force to replace the file it points to");
    if (!S_ISREG(target.st_mode))
        throw InputError(path + ": is not a regular file, a character device or a pipe; give --force to write to it");
    // The rename that replaces a file does not ask for its permission to be written: a file made
    // read-only (or one this user may not write) is kept from being replaced by mistake.
    if ((target.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0)
        throw InputError(path + ": is read-only; give --force to replace it");
}

void writeFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& fill) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (path == "-" || (exists && isStandardOutput(st))) {
        // Standard output cannot be replaced in one step: the whole text is made first, so that a
        // failure while making it writes nothing.
        std::ostringstream text;
        fill(text);
        std::cout.flush();
        const std::string bytes = text.str();
        fillDescriptor(1, "standard output", [&](std::ostream& out) { out << bytes; });
        return;
    }
    if (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        writeDirectly(path, fill);
        return;
    }
    // A link is written through: its target is replaced, the link itself never is.
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        writeThroughTemporary(path, fill);
        return;
    }
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        throw InputError(path + ": cannot follow the symbolic link: " + std::strerror(errno));
    writeThroughTemporary(resolved, fill);
}

void installSignalHandlers() {
    struct sigaction interrupt {};
    interrupt.sa_handler = onInterrupt;
    sigemptyset(&interrupt.sa_mask);
    interrupt.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &interrupt, nullptr);
    struct sigaction terminate = interrupt;
    terminate.sa_handler = onTerminate;
    ::sigaction(SIGTERM, &terminate, nullptr);
    ::sigaction(SIGHUP, &terminate, nullptr);
    // A file larger than the limit fails its write with EFBIG, and the failed write cleans up.
    std::signal(SIGXFSZ, SIG_IGN);
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

bool Progress::quiet_ = false;

Progress::Progress(std::string what, long total)
    : what_(std::move(what)),
      total_(total),
      enabled_(!quiet_ && ::isatty(STDERR_FILENO) == 1 && total > 0),
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
