#include "App/FileExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QMetaObject>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>

namespace vintrelle {

namespace {

constexpr size_t kChunk = size_t(1) << 20;
// A folder holding this many copies of one name is not worth another try.
constexpr int kMaxNumber = 100000;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

std::string lastComponent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A file being written in the target folder that has no name of its own yet:
// an unnamed inode where the file system has them, else a hidden temporary.
// Whatever has not been claimed by the end is gone.
class PendingFile {
public:
    explicit PendingFile(const std::string& folder) {
        fd_.reset(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
        if (fd_) return;
        std::string pattern = folder + "/.vintrelle-export-XXXXXX";
        fd_.reset(::mkostemp(pattern.data(), O_CLOEXEC));
        if (fd_) temp_ = std::move(pattern);
    }
    ~PendingFile() {
        fd_.reset();
        if (!temp_.empty()) ::unlink(temp_.c_str());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    int fd() const { return fd_.get(); }
    explicit operator bool() const { return bool(fd_); }

    // Gives the file the name `target` unless something holds that name
    // already: 0 when named, EEXIST when taken, another errno on failure.
    int claim(const std::string& target) {
        if (temp_.empty()) return claimUnnamed(target);
        if (mode_ == Mode::rename) {
            if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return named();
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
            mode_ = Mode::link;
        }
        if (mode_ == Mode::link) {
            if (::link(temp_.c_str(), target.c_str()) == 0) {
                ::unlink(temp_.c_str());
                return named();
            }
            if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK) return errno;
            mode_ = Mode::placeholder;
        }
        // File systems without hard links or exclusive renames: hold the
        // name with an exclusive create, then rename over that placeholder.
        Fd placeholder(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!placeholder) return errno;
        placeholder.reset();
        if (::rename(temp_.c_str(), target.c_str()) != 0) {
            const int error = errno;
            ::unlink(target.c_str());
            return error;
        }
        return named();
    }

private:
    enum class Mode { rename, link, placeholder };

    int claimUnnamed(const std::string& target) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
        if (errno != ENOENT) return errno;
        // Without /proc; needs the right to link by descriptor.
        if (::linkat(fd_.get(), "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0) return 0;
        return errno;
    }
    int named() {
        temp_.clear();
        return 0;
    }

    Fd fd_;
    std::string temp_;  // empty for an unnamed file, and once named
    Mode mode_ = Mode::rename;
};

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

CopyResult failed(int error) { return {CopyResult::Outcome::failed, {}, error}; }
CopyResult stopped() { return {CopyResult::Outcome::stopped, {}, 0}; }

}  // namespace

std::string numberedName(std::string_view name, int n) {
    const size_t dot = name.rfind('.');
    const bool hasExtension = dot != std::string_view::npos && dot > 0 && dot + 1 < name.size();
    std::string out(hasExtension ? name.substr(0, dot) : name);
    out += ' ';
    out += std::to_string(n);
    if (hasExtension) out += name.substr(dot);
    return out;
}

CopyResult copyIntoFolder(const std::string& source, const std::string& folder, const std::stop_token& stop) {
    if (stop.stop_requested()) return stopped();
    // Non-blocking, so a FIFO in the library cannot hold the export forever.
    Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!in) return failed(errno);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return failed(errno);
    if (!S_ISREG(st.st_mode)) return failed(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);

    PendingFile out(folder);
    if (!out) return failed(errno);
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    for (;;) {
        if (stop.stop_requested()) return stopped();
        const ssize_t n = ::read(in.get(), buffer.get(), kChunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed(errno);
        }
        if (n == 0) break;
        if (!writeAll(out.fd(), buffer.get(), size_t(n))) return failed(errno);
    }
    // Permissions and times are kept where the target can hold them.
    (void)::fchmod(out.fd(), st.st_mode & 0777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)::futimens(out.fd(), times);
    // Write errors of a network or removable drive often show only here.
    if (::fsync(out.fd()) != 0 && errno != EINVAL && errno != EROFS) return failed(errno);
    if (stop.stop_requested()) return stopped();

    const std::string name = lastComponent(source);
    for (int n = 1; n <= kMaxNumber; ++n) {
        const std::string target = folder + "/" + (n == 1 ? name : numberedName(name, n));
        const int error = out.claim(target);
        if (error == 0) return {CopyResult::Outcome::copied, target, 0};
        if (error != EEXIST) return failed(error);
    }
    return failed(EEXIST);
}

// ---- running exports --------------------------------------------------------------

FileExports::FileExports() : mailbox_(std::make_shared<Mailbox>()), receiver_(std::make_unique<QObject>()) {
    mailbox_->receiver = receiver_.get();
}

FileExports::~FileExports() {
    stopAll();
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->receiver = nullptr;
}

void FileExports::start(std::vector<std::string> sources, int unreadable, std::string destination, Done done) {
    auto job = std::make_shared<Job>();
    job->id = ++nextId_;
    std::stop_token stop = job->stop.get_token();
    job->thread = std::thread([job = job.get(), keep = job, mailbox = mailbox_, stop = std::move(stop),
                               sources = std::move(sources), unreadable, destination = std::move(destination),
                               owner = this]() {
        ExportReport report{destination, unreadable};
        bool wasStopped = false;
        for (const std::string& source : sources) {
            const CopyResult r = copyIntoFolder(source, destination, stop);
            if (r.outcome == CopyResult::Outcome::stopped) {
                wasStopped = true;
                break;
            }
            if (r.outcome == CopyResult::Outcome::failed) ++report.failures;
        }
        {
            std::lock_guard lock(job->mutex);
            job->finished = true;
        }
        job->cv.notify_all();
        if (wasStopped || stop.stop_requested()) return;
        std::lock_guard lock(mailbox->mutex);
        if (!mailbox->receiver) return;
        QMetaObject::invokeMethod(
            mailbox->receiver, [owner, id = job->id, report] { owner->finish(id, report); }, Qt::QueuedConnection);
    });
    jobs_.push_back(Entry{std::move(job), std::move(done)});
}

void FileExports::finish(uint64_t id, const ExportReport& report) {
    const auto it = std::find_if(jobs_.begin(), jobs_.end(), [&](const Entry& e) { return e.job->id == id; });
    if (it == jobs_.end()) return;
    Entry entry = std::move(*it);
    jobs_.erase(it);
    if (entry.job->thread.joinable()) entry.job->thread.join();
    if (entry.done) entry.done(report);
}

void FileExports::stopAll(std::chrono::milliseconds bound) {
    for (Entry& e : jobs_) e.job->stop.request_stop();
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (Entry& e : jobs_) {
        Job& job = *e.job;
        bool finished;
        {
            std::unique_lock lock(job.mutex);
            finished = job.cv.wait_until(lock, deadline, [&] { return job.finished; });
        }
        if (!job.thread.joinable()) continue;
        if (finished) job.thread.join();
        else job.thread.detach();  // holds only its own state and reports nothing
    }
    jobs_.clear();
}

}  // namespace vintrelle
