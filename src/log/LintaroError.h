// An error whose text is shown to the user as it stands. Every layer may raise it; the
// shell's error report shows it.
#pragma once

#include <QString>
#include <stdexcept>

namespace lintaro {

class LintaroError : public std::runtime_error {
public:
    explicit LintaroError(const QString& text)
        : std::runtime_error(text.toStdString()), FText(text) {}
    const QString& Text() const { return FText; }

private:
    QString FText;
};

// The text an error report shows for any exception.
inline QString ErrorText(const std::exception& error) {
    if (auto* own = dynamic_cast<const LintaroError*>(&error)) return own->Text();
    return QString::fromUtf8(error.what());
}

}  // namespace lintaro
