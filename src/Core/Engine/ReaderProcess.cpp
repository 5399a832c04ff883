#include "Core/Engine/ReaderProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <filesystem>
#include <vector>

extern char** environ;

namespace vintrelle::ReaderProcess {

namespace {

// Signals a fault raises: a reader ended by one of them crashed on its file.
// Any other end (SIGKILL from the out-of-memory killer or a user, SIGTERM,
// our own kill at a stop) says nothing about the file.
bool isCrashSignal(int sig) {
    switch (sig) {
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGABRT:
    case SIGSYS:
    case SIGTRAP:
        return true;
    default:
        return false;
    }
}

// Enough for what one file yields; more is a reader gone wrong.
constexpr size_t kMaxOutput = size_t(1) << 20;

std::string number(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string hex(std::string_view bytes) {
    static const char* const digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::optional<std::string> unhex(std::string_view text) {
    if (text.size() % 2) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = value(text[i]), lo = value(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += char(hi * 16 + lo);
    }
    return out;
}

template <typename T>
bool parse(std::string_view text, T& out) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

}  // namespace

std::string besideThisProgram() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string exe(buf, size_t(n));
    const size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return {};
    return exe.substr(0, slash + 1) + fileName;
}

std::string encode(const ProcessedMedia& m) {
    std::string out;
    auto line = [&](const char* name, const std::string& value) {
        out += name;
        out += ' ';
        out += value;
        out += '\n';
    };
    line("taken", number(m.taken));
    line("width", std::to_string(m.width));
    line("height", std::to_string(m.height));
    line("duration", number(m.duration));
    if (m.lat) line("lat", number(*m.lat));
    if (m.lon) line("lon", number(*m.lon));
    if (m.camera) line("camera", hex(*m.camera));
    if (m.lens) line("lens", hex(*m.lens));
    if (m.iso) line("iso", std::to_string(*m.iso));
    if (m.fnumber) line("fnumber", number(*m.fnumber));
    if (m.exposure) line("exposure", number(*m.exposure));
    if (m.focal) line("focal", number(*m.focal));
    line("thumbOK", m.thumbOK ? "1" : "0");
    if (m.thumbWriteError != 0) line("thumbWriteError", std::to_string(m.thumbWriteError));
    out += "end\n";
    return out;
}

std::optional<ProcessedMedia> decode(std::string_view text) {
    ProcessedMedia m;
    bool ended = false;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        if (eol == std::string_view::npos || ended) return std::nullopt;  // cut short, or more after the end
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol + 1);
        if (line == "end") {
            ended = true;
            continue;
        }
        const size_t space = line.find(' ');
        if (space == std::string_view::npos) return std::nullopt;
        const std::string_view name = line.substr(0, space), value = line.substr(space + 1);
        auto real = [&](std::optional<double>& field) {
            double v = 0;
            if (!parse(value, v)) return false;
            field = v;
            return true;
        };
        auto bytes = [&](std::optional<std::string>& field) { return bool(field = unhex(value)); };
        bool ok = false;
        if (name == "taken") ok = parse(value, m.taken);
        else if (name == "width") ok = parse(value, m.width);
        else if (name == "height") ok = parse(value, m.height);
        else if (name == "duration") ok = parse(value, m.duration);
        else if (name == "lat") ok = real(m.lat);
        else if (name == "lon") ok = real(m.lon);
        else if (name == "camera") ok = bytes(m.camera);
        else if (name == "lens") ok = bytes(m.lens);
        else if (name == "iso") {
            int v = 0;
            ok = parse(value, v);
            m.iso = v;
        } else if (name == "fnumber") ok = real(m.fnumber);
        else if (name == "exposure") ok = real(m.exposure);
        else if (name == "focal") ok = real(m.focal);
        else if (name == "thumbOK") {
            ok = value == "0" || value == "1";
            m.thumbOK = value == "1";
        } else if (name == "thumbWriteError") ok = parse(value, m.thumbWriteError);
        if (!ok) return std::nullopt;
    }
    if (!ended) return std::nullopt;
    return m;
}

Outcome read(const std::string& readerPath, MediaKind kind, const std::string& file, double fallbackDate,
             const std::string& thumbURL, const std::atomic<bool>& stopped, std::chrono::milliseconds deadline) {
    auto unstarted = [](int error) {
        Outcome o;
        o.error = error;
        return o;
    };
    if (readerPath.empty()) return unstarted(ENOENT);
    if (::access(readerPath.c_str(), X_OK) != 0) return unstarted(errno);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return unstarted(errno);

    // The reader works from "/": paths relative to ours would name other files there.
    std::error_code ec;
    std::string parent = std::to_string(::getpid()), kindName = kind == MediaKind::video ? "video" : "photo",
                fallback = number(fallbackDate), path = std::filesystem::absolute(readerPath, ec).string(),
                fileArg = std::filesystem::absolute(file, ec).string(),
                thumbArg = std::filesystem::absolute(thumbURL, ec).string();
    char* argv[] = {path.data(), parent.data(), kindName.data(), fileArg.data(), fallback.data(), thumbArg.data(),
                    nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // Nowhere near the photos: a decoder's stray file (a core dump) never lands in them.
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A group of its own: a signal sent to the application's group (Ctrl+C
    // in a terminal, a session's end) is not the reader's crash.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return unstarted(rc);
    }

    std::string text;
    Outcome::End endedBy = Outcome::End::read;  // read: not ended by us
    pollfd p{out[0], POLLIN, 0};
    const auto giveUp = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (endedBy == Outcome::End::read) {
            if (stopped.load()) endedBy = Outcome::End::stopped;
            else if (text.size() > kMaxOutput) endedBy = Outcome::End::failed;
            else if (std::chrono::steady_clock::now() >= giveUp) endedBy = Outcome::End::overran;
            // The whole group: anything the reader started must not hold the pipe open.
            if (endedBy != Outcome::End::read) ::kill(-pid, SIGKILL);
        }
        const int n = ::poll(&p, 1, 100);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        char buf[4096];
        const ssize_t got = ::read(out[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buf, size_t(got));
    }
    ::close(out[0]);
    siginfo_t info {};
    while (::waitid(P_PID, id_t(pid), &info, WEXITED) != 0 && errno == EINTR) {
    }
    Outcome o;
    // A reader behind a wrapper may be announced twice.
    std::string_view said = text;
    while (said.starts_with(readingLine)) {
        o.reading = true;
        said.remove_prefix(readingLine.size());
    }
    if (endedBy != Outcome::End::read) {
        o.end = endedBy;
        return o;
    }
    if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
        o.end = isCrashSignal(info.si_status) ? Outcome::End::crashed : Outcome::End::killed;
        o.signal = info.si_status;
        return o;
    }
    // 127: what the loader (or a shell in front of the reader) answers when
    // the program cannot be run at all.
    if (info.si_code == CLD_EXITED && info.si_status == 127) return unstarted(ENOEXEC);
    if (info.si_code == CLD_EXITED && text.empty() &&
        (info.si_status == exitBadRequest || info.si_status == exitWrongParent)) {
        o.end = Outcome::End::refused;
        o.status = info.si_status;
        return o;
    }
    std::optional<ProcessedMedia> media;
    if (info.si_code == CLD_EXITED && info.si_status == 0) media = decode(said);
    if (!media) {
        o.end = Outcome::End::failed;
        o.status = info.si_code == CLD_EXITED ? info.si_status : 0;
        return o;
    }
    o.end = Outcome::End::read;
    o.media = std::move(*media);
    return o;
}

bool readerAtFault(const Outcome& o) {
    switch (o.end) {
    case Outcome::End::unstarted: return !unstartedForNow(o);
    case Outcome::End::refused: return true;
    case Outcome::End::crashed:
    case Outcome::End::overran:
    case Outcome::End::failed: return !o.reading;
    default: return false;
    }
}

bool unstartedForNow(const Outcome& o) {
    if (o.end != Outcome::End::unstarted) return false;
    switch (o.error) {
    case EAGAIN:
    case ENOMEM:
    case EMFILE:
    case ENFILE:
    case ETXTBSY:
        return true;
    default:
        return false;
    }
}

std::string describe(const Outcome& o) {
    const std::string before = o.reading ? "" : " before it turned to the file";
    switch (o.end) {
    case Outcome::End::read: return "read";
    case Outcome::End::crashed: return std::string("crashed (") + ::strsignal(o.signal) + ")" + before;
    case Outcome::End::killed: return std::string("was killed (") + ::strsignal(o.signal) + ")" + before;
    case Outcome::End::overran: return "ran past its deadline" + before;
    case Outcome::End::failed:
        return (o.status != 0 ? "exited with status " + std::to_string(o.status) : "said nothing that reads") + before;
    case Outcome::End::unstarted: return std::string("could not be started (") + std::strerror(o.error) + ")";
    case Outcome::End::refused:
        return "would not take the request (exit status " + std::to_string(o.status) +
               (o.status == exitBadRequest ? ": a reader of another version of the program?)"
                                           : ": started through something that did not hand over to it?)");
    case Outcome::End::stopped: return "stopped";
    }
    return {};
}

int serve(int argc, char** argv) {
    if (argc != 6) return exitBadRequest;
    pid_t parent = 0;
    double fallback = 0;
    const std::string_view kind = argv[2];
    if (!parse(std::string_view(argv[1]), parent) || !parse(std::string_view(argv[4]), fallback) ||
        (kind != "photo" && kind != "video"))
        return exitBadRequest;
    // Ends with the indexer, which alone knows what to make of this reading;
    // already gone (the indexer ended while this started): nothing to do.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) return exitWrongParent;
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);

    MediaProcessor::initialize();
    if (!writeAll(1, readingLine)) return 1;
    ProcessedMedia media;
    try {
        media = kind == "video" ? MediaProcessor::processVideo(argv[3], fallback, argv[5])
                                : MediaProcessor::processPhoto(argv[3], fallback, argv[5]);
    } catch (...) {
        media = {};
    }
    return writeAll(1, encode(media)) ? 0 : 1;
}

}  // namespace vintrelle::ReaderProcess
