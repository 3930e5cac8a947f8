#pragma once

#include <QFont>
#include <QFontMetrics>

// The window's one typeface: "MS Sans Serif" where installed, or the nearest
// sans serif this host has. Sizes are in pixels, tied to the pixel geometry
// (11 px for 8.25 pt, 13 px for 9.75 pt at 96 dpi), so a host with another
// font resolution still fits every text in its box.
QFont sansFont(int pixels, bool bold = false);

// Pixel rows by which accents over capitals rise above the font's ascent,
// where Qt starts a line of text; a box without them cuts the accents.
int accentOverflow(const QFontMetrics& fm);
