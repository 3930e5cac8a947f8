#pragma once

#include <QLocale>
#include <QString>
#include <optional>

namespace range {

// The value of a typed number: surrounding blanks trimmed, an optional sign,
// digits with an optional fraction after the locale's decimal separator or a
// point, an optional exponent. No group separators, no other radix. Empty
// when the text is not such a number.
std::optional<double> parseNumber(const QString& text, const QLocale& locale);

// Rounded to the nearest whole number, an exact half to the even neighbour;
// empty when that lies outside the signed 16-bit range.
std::optional<int> roundToInt16(double value);

struct Verdict {
    bool valid = false;
    int first = 0;
    int last = 0;
};

// The search range typed as first and last address: valid exactly when both
// are numbers whose rounded values satisfy 1 <= first <= last <= 127.
Verdict check(const QString& first, const QString& last, const QLocale& locale);

} // namespace range
