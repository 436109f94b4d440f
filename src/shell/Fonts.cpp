#include "shell/Fonts.h"

#include <QStringList>

namespace lintaro {

QFont TahomaFont() {
    QFont font;
    // Liberation Sans (Arial's metrics) comes closer to Tahoma's width than DejaVu Sans.
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

}  // namespace lintaro
