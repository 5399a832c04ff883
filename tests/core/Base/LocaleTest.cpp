#include <gtest/gtest.h>

#include "Core/Base/Locale.h"

using namespace vintrelle;

TEST(Locale, PosixModifiersChooseTheScript) {
    const std::pair<const char*, const char*> rows[] = {
        {"sr_RS.UTF-8@latin", "sr_Latn_RS"},
        {"sr_RS@latin", "sr_Latn_RS"},
        {"sr_RS.UTF-8", "sr_RS"},
        {"uz_UZ.UTF-8@cyrillic", "uz_Cyrl_UZ"},
        {"ks_IN@devanagari", "ks_Deva_IN"},
        {"de_DE@euro", "de_DE"},
        // ICU has no Belarusian in Latin letters: its usual script, not English.
        {"be_BY.UTF-8@latin", "be_BY"},
        {"C.UTF-8", "en_US_POSIX"},
        {"POSIX", "en_US_POSIX"},
    };
    for (const auto& [posix, icu] : rows) EXPECT_STREQ(icuLocaleFromPosix(posix).getName(), icu) << posix;
}
