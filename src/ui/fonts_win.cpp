#include "ui/fonts_p.h"

namespace fonts {

const char* const* sansCandidates() {
    // Windows' "MS Sans Serif" is a bitmap font, which DirectWrite cannot
    // draw; its TrueType successor has the same design.
    static const char* const names[] = {"Microsoft Sans Serif", "MS Sans Serif",
                                        "Liberation Sans",      "Arial",
                                        "DejaVu Sans",          nullptr};
    return names;
}

QFont::HintingPreference glyphHinting() {
    // Full hinting takes the GDI rasterizer, which loses thin stems at these
    // sizes (the 1-pixel capital I of an 11-pixel face draws nothing).
    return QFont::PreferVerticalHinting;
}

} // namespace fonts
