#pragma once
// A path on disk is bytes, and its name need not be UTF-8 (a folder from an
// old drive or archive may be named in Latin-1). A QString keeps only text:
// such a name would come back as U+FFFD, a folder that does not exist. Where
// a path has to travel as text (the preferences, the hand-over to a running
// instance), a UTF-8 path goes as it is, so what was stored before reads the
// same, and any other as its file URI, percent-encoded from its bytes, which
// still reads as the path it is.

#include <QString>

#include <string>

namespace vintrelle {

QString pathText(const std::string& path);
// The path a pathText() stands for; text that is no file URI is taken as a
// path in UTF-8.
std::string pathFromText(const QString& text);

}  // namespace vintrelle
