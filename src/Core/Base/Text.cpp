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

std::string normalize(const icu::Normalizer2* n, std::string_view s) {
    if (!n) return std::string(s);
    UErrorCode err = U_ZERO_ERROR;
    icu::UnicodeString out = n->normalize(u(s), err);
    return U_SUCCESS(err) ? utf8(out) : std::string(s);
}

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
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
    // Normalising turns every byte that is not UTF-8 into U+FFFD, which would
    // make different file names equal; such texts are equal only byte for byte.
    if (!isValidUtf8(a) || !isValidUtf8(b)) return false;
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

std::string lowercased(std::string_view s) {
    if (isAscii(s)) {
        std::string out(s);
        for (auto& c : out)
            if (c >= 'A' && c <= 'Z') c = char(c + 32);
        return out;
    }
    return utf8(u(s).toLower(icu::Locale::getRoot()));
}

std::string uppercased(std::string_view s) {
    if (isAscii(s)) {
        std::string out(s);
        for (auto& c : out)
            if (c >= 'a' && c <= 'z') c = char(c - 32);
        return out;
    }
    return utf8(u(s).toUpper(icu::Locale::getRoot()));
}

std::string caseFolded(std::string_view s) {
    if (isAscii(s)) return lowercased(s);
    return utf8(u(s).foldCase());
}

std::string foldedForSearch(std::string_view s) {
    if (isAscii(s)) return lowercased(s);
    icu::UnicodeString folded = u(s).foldCase();
    UErrorCode err = U_ZERO_ERROR;
    icu::UnicodeString decomposed = nfdNormalizer()->normalize(folded, err);
    if (U_FAILURE(err)) return utf8(folded);
    icu::UnicodeString stripped;
    for (int32_t i = 0; i < decomposed.length();) {
        UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
        i += U16_LENGTH(c);
    }
    err = U_ZERO_ERROR;
    icu::UnicodeString composed = nfcNormalizer()->normalize(stripped, err);
    return utf8(U_SUCCESS(err) ? composed : stripped);
}

}  // namespace vintrelle::text
