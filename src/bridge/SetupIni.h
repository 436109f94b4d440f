// "setup.ini": lines of key "=" value naming each device model's configuration program.
#pragma once

#include <QByteArray>
#include <QString>

namespace lintaro {

// The file's text. A byte-order mark selects UTF-8, UTF-16 LE or UTF-16 BE. Without one
// the bytes are taken in the 8-bit code page, or, when `utf8WithoutBom` is set and they
// are valid UTF-8, as UTF-8 (what a text editor writes where the code page is not the
// system's usual encoding).
QString DecodeSetupIni(const QByteArray& bytes, bool utf8WithoutBom);

// The value of the first line whose key equals `key` ignoring case; empty when no line
// matches. Key and value are split at the first "=" and used as they stand (no trimming);
// lines without "=" (section headers, notes) are skipped.
QString SetupIniValue(const QString& text, const QString& key);

}  // namespace lintaro

namespace lintaro {

// Whether a setup.ini value is a plain file name in the program folder: not empty, no
// folder part ("/" or "\"), no "..", no drive or stream (":"), no control characters. Any
// other value would let the copy be written, run and deleted outside its folder.
bool IsPlainProgramName(const QString& value);

}  // namespace lintaro
