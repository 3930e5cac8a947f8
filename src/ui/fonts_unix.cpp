#include "ui/fonts_p.h"

namespace fonts {

const char* const* sansCandidates() {
    static const char* const names[] = {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans",
                                        "Arial",         "DejaVu Sans",          nullptr};
    return names;
}

QFont::HintingPreference glyphHinting() {
    // Whole-pixel glyph widths, as MS Sans Serif's bitmaps have.
    return QFont::PreferFullHinting;
}

} // namespace fonts
