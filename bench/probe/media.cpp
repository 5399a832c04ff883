#include <chrono>
#include <filesystem>
#include <sys/stat.h>

#include "Core/Index/LibraryPaths.h"
#include "Core/Media/MediaProcessor.h"
#include "Probe.h"

namespace fs = std::filesystem;

namespace {

template <typename T>
probe::Json orNull(const std::optional<T>& v) {
    return v ? probe::Json(*v) : probe::Json(nullptr);
}

int media(const probe::Args& input) {
    using namespace vintrelle;
    probe::Args args = input;
    std::string thumbs = probe::takeOption(args, "--thumbs");
    if (args.empty()) return probe::fail("usage: vintrelle-probe media [--thumbs DIR] FILE...");
    bool temporary = thumbs.empty();
    if (temporary) {
        std::string tmpl = (fs::temp_directory_path() / "vintrelle-probe-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) return probe::fail("cannot make a temporary folder");
        thumbs = tmpl;
    } else {
        std::error_code ec;
        fs::create_directories(thumbs, ec);
    }
    MediaProcessor::initialize();
    int index = 0;
    for (const std::string& path : args) {
        ++index;
        auto kind = MediaTypes::kindForPath(path);
        if (!kind) {
            probe::emit({{"path", path}, {"error", "not a photo or video by its extension"}});
            continue;
        }
        struct stat st {};
        double mtime = ::stat(path.c_str(), &st) == 0 ? double(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9 : 0;
        std::string thumb = thumbs + "/" + std::to_string(index) + ".jpg";
        auto start = std::chrono::steady_clock::now();
        double fallback = MediaProcessor::fallbackDate(fs::path(path).filename().string(), mtime);
        ProcessedMedia m = *kind == MediaKind::video ? MediaProcessor::processVideo(path, fallback, thumb)
                                                     : MediaProcessor::processPhoto(path, fallback, thumb);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        probe::emit({{"path", path},
                     {"taken", m.taken},
                     {"width", m.width},
                     {"height", m.height},
                     {"duration", m.duration},
                     {"lat", orNull(m.lat)},
                     {"lon", orNull(m.lon)},
                     {"camera", orNull(m.camera)},
                     {"lens", orNull(m.lens)},
                     {"iso", orNull(m.iso)},
                     {"fnumber", orNull(m.fnumber)},
                     {"exposure", orNull(m.exposure)},
                     {"focal", orNull(m.focal)},
                     {"thumbOK", m.thumbOK},
                     {"ms", ms}});
    }
    if (temporary) {
        std::error_code ec;
        fs::remove_all(thumbs, ec);
    }
    return 0;
}

probe::Register reg("media", "[--thumbs DIR] FILE...", media);

}  // namespace
