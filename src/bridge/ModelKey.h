// The device model key: the part of the identification reply that names the model and
// thereby the configuration program in "setup.ini".
#pragma once

#include <QString>
#include <optional>

namespace lintaro {

// Quotes are dropped, everything up to and including the first comma is cut off, the rest
// is split into fields at commas and at characters 1..32, and the key is the first field's
// part before its first full stop (empty when it has none). No value when there is no
// first field at all (nothing but blanks and control characters after the comma).
std::optional<QString> DeriveModelKey(const QString& verInfoText);

}  // namespace lintaro
