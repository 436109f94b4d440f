// The FileVersion text of an executable's version block; empty when it has none.
#pragma once

#include <QString>

namespace lintaro {

QString GetFileVersionStr(const QString& fileName);

}  // namespace lintaro
