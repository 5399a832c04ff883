#include "Core/Base/WallClock.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <ctime>
#include <memory>
#include <mutex>

#include <unicode/numfmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include "Core/Base/Locale.h"

namespace vintrelle {

namespace {

struct SharedFormatter {
    std::mutex mutex;  // ICU formatters are not documented as safe for concurrent use
    std::unique_ptr<icu::SimpleDateFormat> fmt;
};

const char* templateText(WallClock::Template t) {
    switch (t) {
        case WallClock::Template::monthYear: return "MMMM yyyy";
        case WallClock::Template::dayLong: return "EEEE d MMMM yyyy";
        case WallClock::Template::dayShort: return "d MMM yyyy";
        case WallClock::Template::dayMonth: return "d MMM";
        case WallClock::Template::dayOnly: return "d";
        case WallClock::Template::monthOnly: return "MMMM";
        case WallClock::Template::timeOnly: return "jmm";
        case WallClock::Template::full: return "EEEE d MMMM yyyy jmm";
    }
    return "d MMM yyyy";
}

SharedFormatter& formatter(WallClock::Template t) {
    static std::array<SharedFormatter, 8> formatters;
    static std::array<std::once_flag, 8> once;
    size_t i = size_t(t);
    std::call_once(once[i], [&] { formatters[i].fmt = gregorianDateFormat(templateText(t), *icu::TimeZone::getGMT()); });
    return formatters[i];
}

void appendInt(std::string& out, long long v, int minDigits) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v < 0 ? -v : v);
    (void)ec;
    if (v < 0) out += '-';
    for (int pad = minDigits - int(end - buf); pad > 0; --pad) out += '0';
    out.append(buf, end);
}

}  // namespace

namespace WallClock {

double clampTime(double t) {
    if (std::isnan(t)) return 0;
    return std::clamp(t, double(minDay) * 86400.0, double(maxDay) * 86400.0 + 86399.0);
}

CivilDate civil(long long z) {
    z = std::clamp(z, minDay, maxDay);
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1;
    const long long m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    return {int(y), int(m), int(d)};
}

long long daysFromCivil(long long y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

long long localOffset(double t) {
    if (!std::isfinite(t) || std::fabs(t) > 1e15) return 0;
    tzset();
    const std::time_t tt = static_cast<std::time_t>(std::floor(t));
    std::tm tm{};
    if (!localtime_r(&tt, &tm)) return 0;
    return tm.tm_gmtoff;
}

long long dayNumber(double t) { return (long long)std::floor(clampTime(t) / 86400.0); }

int monthKey(double t) {
    CivilDate c = civil(dayNumber(t));
    return c.y * 12 + (c.m - 1);
}

std::string format(Template which, double t) {
    SharedFormatter& f = formatter(which);
    icu::UnicodeString out;
    {
        std::lock_guard lock(f.mutex);
        f.fmt->format(UDate(clampTime(t) * 1000.0), out);
    }
    std::string s;
    out.toUTF8String(s);
    return s;
}

std::string rangeString(double a, double b) {
    const CivilDate ca = civil(dayNumber(a));
    const CivilDate cb = civil(dayNumber(b));
    const std::string sep = " \u2013 ";
    if (ca.y != cb.y) return format(Template::dayShort, a) + sep + format(Template::dayShort, b);
    if (ca.m != cb.m) return format(Template::dayMonth, a) + sep + format(Template::dayShort, b);
    if (ca.d == cb.d) return format(Template::dayShort, a);
    return format(Template::dayOnly, a) + sep + format(Template::dayShort, b);
}

}  // namespace WallClock

namespace Format {

std::string integer(long long n) {
    // Follows later changes of the locale, so the formatter is made per locale name.
    thread_local std::string cachedName;
    thread_local std::unique_ptr<icu::NumberFormat> cached;
    std::string name = posixLocaleName(LC_NUMERIC);
    if (!cached || name != cachedName) {
        UErrorCode err = U_ZERO_ERROR;
        cached.reset(icu::NumberFormat::createInstance(icuLocale(LC_NUMERIC), err));
        if (U_FAILURE(err)) cached.reset();
        cachedName = name;
    }
    std::string s;
    if (!cached) {
        appendInt(s, n, 1);
        return s;
    }
    icu::UnicodeString out;
    cached->format(int64_t(n), out);
    out.toUTF8String(s);
    return s;
}

std::string items(long long count, std::string_view singular, std::optional<std::string_view> plural) {
    std::string s = integer(count);
    s += ' ';
    if (count == 1) s += singular;
    else if (plural) s += *plural;
    else {
        s += singular;
        s += 's';
    }
    return s;
}

std::string duration(double t) {
    // A length no reader should give (not a finite number, below zero) shows
    // as none; one beyond any clip's is held where whole seconds still fit.
    if (!std::isfinite(t) || t < 0) t = 0;
    const long long s = std::llround(std::min(t, 1e15));
    std::string out;
    if (s < 3600) {
        appendInt(out, (s % 3600) / 60, 1);
        out += ':';
        appendInt(out, s % 60, 2);
    } else {
        appendInt(out, s / 3600, 1);
        out += ':';
        appendInt(out, (s % 3600) / 60, 2);
        out += ':';
        appendInt(out, s % 60, 2);
    }
    return out;
}

std::string exposure(double t) {
    // Room for every double written out in full: an exposure read from a
    // file can be any number, and 1/t of a tiny one is beyond any integer.
    char buf[400];
    if (t >= 1.0) {
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, t, std::chars_format::fixed, 1);
        (void)ec;
        return std::string(buf, end) + " s";
    }
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::round(1.0 / t), std::chars_format::fixed, 0);
    (void)ec;
    return "1/" + std::string(buf, end) + " s";
}

}  // namespace Format

double haversineKm(double lat1, double lon1, double lat2, double lon2) {
    const double r = M_PI / 180.0;
    const double p1 = lat1 * r, p2 = lat2 * r;
    const double dp = (lat2 - lat1) * r, dl = (lon2 - lon1) * r;
    double a = std::sin(dp / 2) * std::sin(dp / 2) + std::cos(p1) * std::cos(p2) * std::sin(dl / 2) * std::sin(dl / 2);
    // Rounding takes a just past 1 for points all but opposite each other,
    // and the root of 1 - a would then be no number at all.
    a = std::clamp(a, 0.0, 1.0);
    return 12742.0 * std::atan2(std::sqrt(a), std::sqrt(1 - a));
}

}  // namespace vintrelle
