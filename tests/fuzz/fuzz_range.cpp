// The range parser against the rule stated once more, independently: a
// number is blanks, an optional sign, digits with an optional fraction after
// a point or the locale's decimal separator, an optional exponent, blanks.
#include "workflow/range.h"

#include <QLocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

bool isBlank(QChar c) {
    return c.isSpace();
}

// Classifies with a hand-written scanner; the value comes from Qt's C
// locale conversion, which is not what the parser uses.
std::optional<double> oracle(const QString& text, QChar decimal) {
    int b = 0, e = text.size();
    while (b < e && isBlank(text[b])) ++b;
    while (e > b && isBlank(text[e - 1])) --e;
    if (b == e) return std::nullopt;
    QString norm;
    int i = b;
    if (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')) norm += text[i++];
    int intDigits = 0, fracDigits = 0;
    while (i < e && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
        norm += text[i++];
        ++intDigits;
    }
    if (i < e && (text[i] == QLatin1Char('.') || text[i] == decimal)) {
        norm += QLatin1Char('.');
        ++i;
        while (i < e && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
            norm += text[i++];
            ++fracDigits;
        }
    }
    if (intDigits == 0 && fracDigits == 0) return std::nullopt;
    if (i < e && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        norm += QLatin1Char('e');
        ++i;
        if (i < e && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
            norm += text[i++];
        int expDigits = 0;
        while (i < e && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
            norm += text[i++];
            ++expDigits;
        }
        if (expDigits == 0) return std::nullopt;
    }
    if (i != e) return std::nullopt;
    bool ok = false;
    const double v = QLocale::c().toDouble(norm, &ok);
    if (ok) return v;
    // Out of a double's reach: only the size matters.
    if (norm.contains(QLatin1String("e-"))) return 0.0;
    return norm.startsWith(QLatin1Char('-')) ? -HUGE_VAL : HUGE_VAL;
}

std::optional<int> rounded(std::optional<double> v) {
    if (!v || !std::isfinite(*v)) return std::nullopt;
    const double r = std::nearbyint(*v);
    if (r < -32768 || r > 32767) return std::nullopt;
    return int(r);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const QLocale locales[] = {QLocale::c(), QLocale(QLocale::English),
                                      QLocale(QLocale::Spanish, QLocale::Spain),
                                      QLocale(QLocale::German), QLocale(QLocale::French)};
    const QLocale& locale = locales[data[0] % 5];
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const int cut = rest.indexOf('\0');
    const QString first = QString::fromUtf8(cut < 0 ? rest : rest.left(cut));
    const QString last = QString::fromUtf8(cut < 0 ? QByteArray("127") : rest.mid(cut + 1));
    const QString sep = locale.decimalPoint();
    const QChar decimal = sep.size() == 1 ? sep[0] : QLatin1Char('.');

    const auto a = rounded(oracle(first, decimal));
    const auto b = rounded(oracle(last, decimal));
    const bool expected = a && b && *a >= 1 && *b <= 127 && *a <= *b;
    const range::Verdict v = range::check(first, last, locale);
    if (v.valid != expected) std::abort();
    if (v.valid && (v.first != *a || v.last != *b)) std::abort();
    return 0;
}
