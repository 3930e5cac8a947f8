#pragma once

#include <QFont>

// What each system's text rendering needs of the window's typeface.
namespace fonts {

// Family names to try, best first.
const char* const* sansCandidates();
// Hinting that keeps 11-pixel text whole there.
QFont::HintingPreference glyphHinting();

} // namespace fonts
