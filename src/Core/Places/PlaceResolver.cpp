#include "Core/Places/PlaceResolver.h"

#include <charconv>
#include <chrono>
#include <condition_variable>

namespace vintrelle {

namespace {

class SystemClock final : public ResolverClock {
public:
    double now() override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    void sleep(double seconds, std::stop_token stop) override {
        if (!(seconds > 0)) return;
        std::mutex m;
        std::condition_variable_any cv;
        std::unique_lock lock(m);
        const auto span = std::chrono::nanoseconds(int64_t(seconds * 1e9));
        cv.wait_for(lock, stop, span, [] { return false; });
    }
};

void appendFixed2(std::string& out, double v) {
    char buf[400];  // the widest double in fixed notation has 309 integer digits
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2);
    out.append(buf, r.ptr);
}

}  // namespace

std::shared_ptr<ResolverClock> ResolverClock::system() {
    static const std::shared_ptr<ResolverClock> clock = std::make_shared<SystemClock>();
    return clock;
}

PlaceResolver::PlaceResolver(std::shared_ptr<LibraryDB> db, std::shared_ptr<ReverseGeocoder> geocoder,
                             std::shared_ptr<ResolverClock> clock)
    : db_(std::move(db)), geocoder_(std::move(geocoder)), clock_(std::move(clock)) {}

std::string PlaceResolver::cacheKey(double lat, double lon) {
    // to_chars rounds the exact binary value like printf and ignores the
    // C locale, which the application's toolkit sets to the user's.
    std::string key;
    appendFixed2(key, lat);
    key += ',';
    appendFixed2(key, lon);
    return key;
}

void PlaceResolver::resetFailures() {
    std::lock_guard lock(mutex_);
    failures_ = 0;
}

int PlaceResolver::failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

std::optional<PlaceName> PlaceResolver::resolve(double lat, double lon, std::stop_token stop) {
    const std::string key = cacheKey(lat, lon);
    if (auto cached = db_->cachedPlace(key)) return cached;

    double wait = 0;
    {
        std::lock_guard lock(mutex_);
        if (failures_ > maxFailures) return std::nullopt;
        if (lastRequest_) wait = geocoder_->requestSpacing() - (clock_->now() - *lastRequest_);
    }
    // Calls that overlap may both wait from the same last request; the
    // spacing holds for calls that follow each other.
    if (wait > 0) clock_->sleep(wait, stop);
    {
        std::lock_guard lock(mutex_);
        lastRequest_ = clock_->now();
    }

    GeocodeAnswer answer;
    try {
        answer = geocoder_->reverseGeocode(lat, lon);
    } catch (const std::exception& e) {
        answer.error = e.what();  // a backend that throws has failed like one that reports it
    }
    if (answer.error) {
        std::lock_guard lock(mutex_);
        failures_ += 1;
        return std::nullopt;
    }
    // No placemark is an answer, not a failure, and is not remembered.
    if (answer.placemarks.empty()) return std::nullopt;

    const Placemark& first = answer.placemarks.front();
    PlaceName name;
    name.locality = first.locality ? first.locality : first.subAdministrativeArea ? first.subAdministrativeArea
                                                                                  : first.name;
    name.admin = first.administrativeArea;
    name.country = first.country;
    {
        std::lock_guard lock(mutex_);
        failures_ = 0;
    }
    db_->cachePlace(key, name);
    return name;
}

}  // namespace vintrelle
