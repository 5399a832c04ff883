#include <gtest/gtest.h>

#include <QMimeData>

#include <limits>

#include "UI/Collections/PersonDrag.h"

using namespace vintrelle;

TEST(PersonDrag, readsOnlyTheStrictForm) {
    struct Case {
        std::string text;
        std::optional<int64_t> id;
    };
    const int64_t min = std::numeric_limits<int64_t>::min(), max = std::numeric_limits<int64_t>::max();
    const std::vector<Case> cases{
        {"vintrelle-person:42", 42},
        {"vintrelle-person:+42", 42},
        {"vintrelle-person:-7", -7},
        {"vintrelle-person:007", 7},
        {"vintrelle-person:-9223372036854775808", min},
        {"vintrelle-person:9223372036854775807", max},
        {"vintrelle-person:", std::nullopt},
        {"vintrelle-person: 42", std::nullopt},
        {"vintrelle-person:42a", std::nullopt},
        {"vintrelle-person:+-1", std::nullopt},
        {"vintrelle-person:+", std::nullopt},
        {"vintrelle-person:-", std::nullopt},
        {"vintrelle-person:vintrelle-person:42", std::nullopt},
        {"vintrelle-person:9223372036854775808", std::nullopt},
        {"vintrelle-person:-9223372036854775809", std::nullopt},
        {"vintrelle-person:\u0664\u0662", std::nullopt},  // Arabic-Indic digits
        {"vintrelle-person:\uff14\uff12", std::nullopt},  // full-width digits
        {"vintrelle-person:42\n", std::nullopt},
        {"Vintrelle-Person:42", std::nullopt},
        {"42", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(persondrag::parse(c.text), c.id) << c.text;
}

TEST(PersonDrag, writesWhatItReads) {
    for (int64_t id : {int64_t(0), int64_t(42), int64_t(-3), std::numeric_limits<int64_t>::min(),
                       std::numeric_limits<int64_t>::max()}) {
        const auto mime = persondrag::mimeData(id);
        EXPECT_EQ(mime->text().toStdString(), "vintrelle-person:" + std::to_string(id));
        EXPECT_EQ(mime->data(persondrag::mimeType), persondrag::payload(id));
        EXPECT_EQ(persondrag::read(*mime), id);
    }
    // Plain text from anywhere is read alike; our own type wins over it.
    QMimeData text;
    text.setText(QStringLiteral("vintrelle-person:12"));
    EXPECT_EQ(persondrag::read(text), 12);
    text.setData(persondrag::mimeType, "vintrelle-person:13");
    EXPECT_EQ(persondrag::read(text), 13);
    QMimeData other;
    other.setText(QStringLiteral("hello"));
    EXPECT_FALSE(persondrag::read(other));
}
