#include "shell/FileVersion.h"

#include <filesystem>

#include "shell/FileVersionCore.h"

namespace lintaro {

QString GetFileVersionStr(const QString& fileName) {
    if (fileName.isEmpty()) return {};
    return QString::fromStdString(
        GetFileVersionUtf8(std::filesystem::path(fileName.toStdU16String())));
}

}  // namespace lintaro
