#include "workflow/range.h"

#include <QRegularExpression>
#include <charconv>
#include <cmath>

namespace range {

std::optional<double> parseNumber(const QString& text, const QLocale& locale) {
    const QString t = text.trimmed();
    if (t.isEmpty()) return std::nullopt;
    const QString decimal = locale.decimalPoint();
    QString separators = QStringLiteral(".");
    if (decimal.size() == 1 && decimal != QLatin1String(".")) separators += decimal;
    const QRegularExpression number(
        QStringLiteral("^[+-]?(?:[0-9]+(?:[%1][0-9]*)?|[%1][0-9]+)(?:[eE][+-]?[0-9]+)?$")
            .arg(QRegularExpression::escape(separators)));
    if (!number.match(t).hasMatch()) return std::nullopt;

    QString c = t;
    if (separators.size() > 1) c.replace(separators.at(1), QLatin1Char('.'));
    // from_chars ignores the process locale, which Qt sets from the user's.
    QByteArray latin = c.toLatin1();
    if (latin.startsWith('+')) latin.remove(0, 1);
    double value = 0.0;
    const auto [end, error] =
        std::from_chars(latin.constData(), latin.constData() + latin.size(), value);
    Q_UNUSED(end);
    if (error == std::errc::result_out_of_range) {
        // An exponent beyond a double's reach still names a number: huge, or
        // next to zero. Its size decides the verdict, not a conversion error.
        if (latin.contains("e-") || latin.contains("E-")) return 0.0;
        return latin.startsWith('-') ? -HUGE_VAL : HUGE_VAL;
    }
    return value;
}

std::optional<int> roundToInt16(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    const double rounded = std::nearbyint(value); // ties to even in the default mode
    if (rounded < -32768.0 || rounded > 32767.0) return std::nullopt;
    return static_cast<int>(rounded);
}

Verdict check(const QString& first, const QString& last, const QLocale& locale) {
    const auto f = parseNumber(first, locale);
    const auto l = parseNumber(last, locale);
    if (!f || !l) return {};
    const auto fi = roundToInt16(*f);
    const auto li = roundToInt16(*l);
    if (!fi || !li) return {};
    bool invalid = false;
    if (*li > 127) invalid = true;
    if (*fi > 127) invalid = true;
    if (*li < 1) invalid = true;
    if (*fi < 1) invalid = true;
    if (*li < *fi) invalid = true;
    if (invalid) return {};
    return {true, *fi, *li};
}

} // namespace range
