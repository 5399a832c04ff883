#pragma once
// The person drag payload: "vintrelle-person:" followed by the person's id
// in decimal. It travels as plain text, so any text that has this form is
// taken alike, and under a type of our own with the same bytes, which is
// preferred when both are there. Reading is strict: an optional sign, ASCII
// digits only, within 64 bits, and nothing else (no blanks, no line break).

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

class QMimeData;

namespace vintrelle::persondrag {

inline constexpr std::string_view prefix = "vintrelle-person:";
inline constexpr const char* mimeType = "application/x-vintrelle-person";

QByteArray payload(int64_t id);
std::optional<int64_t> parse(std::string_view text);
std::unique_ptr<QMimeData> mimeData(int64_t id);
std::optional<int64_t> read(const QMimeData& mime);

}  // namespace vintrelle::persondrag
