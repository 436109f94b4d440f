// The windows' font: Tahoma 8 pt (11 pixels high), or the closest sans-serif where
// Tahoma is not installed.
#pragma once

#include <QFont>

namespace lintaro {

QFont TahomaFont();

}  // namespace lintaro
