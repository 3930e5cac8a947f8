#include "ui/fonts.h"

#include "ui/fonts_p.h"

#include <QFontDatabase>
#include <QStringList>

QFont sansFont(int pixels, bool bold) {
    const QStringList installed = QFontDatabase::families();
    QString family = QFont().family();
    for (const char* const* name = fonts::sansCandidates(); *name; ++name) {
        if (installed.contains(QLatin1String(*name))) {
            family = QLatin1String(*name);
            break;
        }
    }
    QFont f(family);
    f.setPixelSize(pixels);
    f.setBold(bold);
    f.setStyleHint(QFont::SansSerif);
    f.setHintingPreference(fonts::glyphHinting());
    return f;
}

int accentOverflow(const QFontMetrics& fm) {
    return qMax(0, -fm.tightBoundingRect(QStringLiteral("ÁÉÍÓÚÑ")).top() - fm.ascent());
}
