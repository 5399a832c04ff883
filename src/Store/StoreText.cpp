#include "Store/StoreText.h"

#include <clocale>
#include <memory>
#include <string_view>

#include <unicode/coll.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "Core/Base/Locale.h"
#include "Core/Base/Text.h"

namespace vintrelle::storetext {

std::string trimmed(std::string_view s) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    const int32_t n = int32_t(s.size());
    int32_t begin = 0;
    while (begin < n) {
        int32_t next = begin;
        UChar32 c;
        U8_NEXT(p, next, n, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        begin = next;
    }
    int32_t end = n;
    while (end > begin) {
        int32_t prev = end;
        UChar32 c;
        U8_PREV(p, 0, prev, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = prev;
    }
    return std::string(s.substr(size_t(begin), size_t(end - begin)));
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return text::canonicallyEqual(text::caseFolded(text::nfc(a)), text::caseFolded(text::nfc(b)));
}

namespace {
icu::Collator& folderCollator() {
    static std::unique_ptr<icu::Collator> collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        // The POSIX locale collates in byte order (upper case first); the
        // file browser's order is case-insensitive everywhere.
        icu::Locale locale = icuLocale(LC_COLLATE);
        if (std::string_view(locale.getVariant()) == "POSIX") locale = icu::Locale::getRoot();
        std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(locale, status));
        if (U_FAILURE(status) || !c) {
            status = U_ZERO_ERROR;
            c.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        }
        status = U_ZERO_ERROR;
        c->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
        c->setStrength(icu::Collator::SECONDARY);
        return c;
    }();
    return *collator;
}
}  // namespace

bool folderNameBefore(std::string_view a, std::string_view b) {
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult r = folderCollator().compareUTF8(icu::StringPiece(a.data(), int32_t(a.size())),
                                                            icu::StringPiece(b.data(), int32_t(b.size())), status);
    if (U_FAILURE(status) || r == UCOL_EQUAL) return a < b;  // a fixed order for names equal but for case
    return r == UCOL_LESS;
}

}  // namespace vintrelle::storetext
