#include "Core/Base/Text.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace vintrelle::text {

namespace {

icu::UnicodeString u(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), int32_t(s.size())));
}

std::string utf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

const icu::Normalizer2* nfcNormalizer() {
    UErrorCode err = U_ZERO_ERROR;
    static const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(err);
    return n;
}

const icu::Normalizer2* nfdNormalizer() {
    UErrorCode err = U_ZERO_ERROR;
    static const icu::Normalizer2* n = icu::Normalizer2::getNFDInstance(err);
    return n;
}

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

// Applies f to each run of well-formed UTF-8 and copies every byte sequence
// that does not decode as it stands.
template <class F>
std::string mapDecodable(std::string_view s, F&& f) {
    std::string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    const int32_t n = int32_t(s.size());
    int32_t run = 0;
    for (int32_t i = 0; i < n;) {
        const int32_t at = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c >= 0) continue;
        if (at > run) out += f(u(s.substr(size_t(run), size_t(at - run))));
        out.append(s.substr(size_t(at), size_t(i - at)));
        run = i;
    }
    if (n > run) out += f(u(s.substr(size_t(run))));
    return out;
}

std::string normalize(const icu::Normalizer2* n, std::string_view s) {
    if (!n) return std::string(s);
    return mapDecodable(s, [&](const icu::UnicodeString& run) {
        UErrorCode err = U_ZERO_ERROR;
        icu::UnicodeString out = n->normalize(run, err);
        return utf8(U_SUCCESS(err) ? out : run);
    });
}

// A mark that decomposition separates from its letter and that only colours
// it: an accent, a tone mark, a cedilla, a nukta. Vowel signs carry no
// Diacritic property; a virama does, but it takes the letter's vowel away,
// so it is as much a part of the word as a vowel sign.
bool isFoldedMark(UChar32 c) {
    return u_charType(c) == U_NON_SPACING_MARK && u_hasBinaryProperty(c, UCHAR_DIACRITIC) &&
           u_getCombiningClass(c) != 9;
}

}  // namespace

std::string nfc(std::string_view s) {
    if (isAscii(s)) return std::string(s);
    return normalize(nfcNormalizer(), s);
}

std::string nfd(std::string_view s) {
    if (isAscii(s)) return std::string(s);
    return normalize(nfdNormalizer(), s);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (isAscii(a) && isAscii(b)) return false;
    return nfc(a) == nfc(b);
}

bool isValidUtf8(std::string_view s) {
    int32_t i = 0;
    const int32_t n = int32_t(s.size());
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    while (i < n) {
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0) return false;
    }
    return true;
}

std::string displayable(std::string_view s) {
    if (isValidUtf8(s)) return std::string(s);
    return utf8(u(s));  // ICU decodes each ill-formed sequence as U+FFFD
}

std::string lowercased(std::string_view s) {
    if (isAscii(s)) {
        std::string out(s);
        for (auto& c : out)
            if (c >= 'A' && c <= 'Z') c = char(c + 32);
        return out;
    }
    return mapDecodable(s, [](icu::UnicodeString run) { return utf8(run.toLower(icu::Locale::getRoot())); });
}

std::string uppercased(std::string_view s) {
    if (isAscii(s)) {
        std::string out(s);
        for (auto& c : out)
            if (c >= 'a' && c <= 'z') c = char(c - 32);
        return out;
    }
    return mapDecodable(s, [](icu::UnicodeString run) { return utf8(run.toUpper(icu::Locale::getRoot())); });
}

std::string caseFolded(std::string_view s) {
    if (isAscii(s)) return lowercased(s);
    return mapDecodable(s, [](icu::UnicodeString run) { return utf8(run.foldCase()); });
}

std::string foldedForSearch(std::string_view s) {
    if (isAscii(s)) return lowercased(s);
    // Decoded as the screens show it, so a name copied from the screen finds itself.
    icu::UnicodeString folded = u(s).foldCase();
    UErrorCode err = U_ZERO_ERROR;
    icu::UnicodeString decomposed = nfdNormalizer()->normalize(folded, err);
    if (U_FAILURE(err)) return utf8(folded);
    icu::UnicodeString stripped;
    for (int32_t i = 0; i < decomposed.length();) {
        UChar32 c = decomposed.char32At(i);
        if (!isFoldedMark(c)) stripped.append(c);
        i += U16_LENGTH(c);
    }
    err = U_ZERO_ERROR;
    icu::UnicodeString composed = nfcNormalizer()->normalize(stripped, err);
    return utf8(U_SUCCESS(err) ? composed : stripped);
}

}  // namespace vintrelle::text
