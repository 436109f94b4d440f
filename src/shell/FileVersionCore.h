// The FileVersion text of an executable's version block, without Qt: read from the
// version resource on Windows (FileVersion_win.cpp) and from a stamped marker elsewhere
// (FileVersion_posix.cpp). The window's GetFileVersionStr wraps it.
#pragma once

#include <filesystem>
#include <string>

namespace lintaro {

// As UTF-8; empty for an empty name, a file that does not exist or one without the block.
std::string GetFileVersionUtf8(const std::filesystem::path& fileName);

}  // namespace lintaro
