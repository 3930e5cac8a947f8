// The search range as typed: which texts are numbers, how they round, and
// which pairs make a range the scan may run over.
#include "workflow/range.h"

#include <QTest>
#include <cmath>
#include <limits>

namespace {

const QLocale english(QLocale::English, QLocale::UnitedStates);
const QLocale spanish(QLocale::Spanish, QLocale::Spain);

} // namespace

class TestRange : public QObject {
    Q_OBJECT
private slots:
    // Parsing and rounding together, as the range check uses them: whether
    // the text is a number, and whether its rounded value fits 16 bits.
    void typedNumbers_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<bool>("numeric");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<int>("rounded");

        auto number = [](const char* name, const QString& text, const QLocale& l, int rounded) {
            QTest::newRow(name) << text << l << true << true << rounded;
        };
        auto huge = [](const char* name, const QString& text, const QLocale& l) {
            QTest::newRow(name) << text << l << true << false << 0;
        };
        auto notNumber = [](const char* name, const QString& text, const QLocale& l) {
            QTest::newRow(name) << text << l << false << false << 0;
        };

        number("zero", "0", english, 0);
        number("128", "128", english, 128);
        number("negative", "-5", english, -5);
        number("plus sign", "+5", english, 5);
        number("blanks around", " 7 ", english, 7);
        number("tab and newline around", "\t7\n", english, 7);
        number("leading zeros", "007", english, 7);
        number("point, one and a half", "1.5", english, 2);
        number("point under Spanish too", "1.5", spanish, 2);
        number("comma under Spanish", "1,5", spanish, 2);
        number("two and a half to even", "2.5", english, 2);
        number("three and a half to even", "3.5", english, 4);
        number("one half to zero", "0.5", english, 0);
        number("minus one and a half", "-1.5", english, -2);
        number("just under a half", "0.49", english, 0);
        number("just over a half", "0.51", english, 1);
        number("trailing point", "5.", english, 5);
        number("trailing comma under Spanish", "5,", spanish, 5);
        number("leading point", ".5", english, 0);
        number("fraction with exponent", "1.5e0", english, 2);
        number("exponent", "1e2", english, 100);
        number("capital exponent", "1E2", english, 100);
        number("signed exponent", "1e+2", english, 100);
        number("negative exponent", "25e-1", english, 2);
        number("comma and exponent under Spanish", "1,27e2", spanish, 127);
        // Spanish groups with a point; here it is a decimal point, never 1000.
        number("Spanish point is not a group", "1.000", spanish, 1);
        // A Spanish comma is decimal, so this is one, not a thousand.
        number("Spanish comma is decimal", "1,000", spanish, 1);
        number("16-bit top", "32767", english, 32767);
        number("16-bit bottom", "-32768", english, -32768);
        number("half below the bottom goes to even", "-32768.5", english, -32768);
        number("tiny exponent", "1e-999", english, 0);
        number("negative tiny exponent", "-1e-999", english, 0);

        huge("above 16 bits", "32768", english);
        huge("half above the top goes to even 32768", "32767.5", english);
        huge("below 16 bits", "-32769", english);
        huge("exponent out of 16 bits", "1e5", english);
        huge("exponent beyond a double", "1e999", english);
        huge("negative exponent beyond a double", "-1e999", english);

        notNumber("empty", "", english);
        notNumber("blanks only", "   ", english);
        notNumber("letters", "abc", english);
        notNumber("digit then letter", "1a", english);
        notNumber("hex", "0x10", english);
        notNumber("hex without prefix", "1F", english);
        notNumber("comma under English", "1,5", english);
        notNumber("English group separator", "1,000", english);
        notNumber("Spanish group and decimal", "1.000,5", spanish);
        notNumber("two points", "1.2.3", english);
        notNumber("two commas under Spanish", "1,2,3", spanish);
        notNumber("point alone", ".", english);
        notNumber("comma alone under Spanish", ",", spanish);
        notNumber("sign alone", "-", english);
        notNumber("two signs", "+-1", english);
        notNumber("double minus", "--1", english);
        notNumber("blank inside", "1 2", english);
        notNumber("exponent without digits", "1e", english);
        notNumber("exponent alone", "e5", english);
        notNumber("fractional exponent", "1e1.5", english);
        notNumber("infinity word", "inf", english);
        notNumber("nan word", "nan", english);
        notNumber("currency", "$5", english);
    }
    void typedNumbers() {
        QFETCH(QString, text);
        QFETCH(QLocale, locale);
        QFETCH(bool, numeric);
        QFETCH(bool, fits);
        QFETCH(int, rounded);

        const std::optional<double> value = range::parseNumber(text, locale);
        QCOMPARE(value.has_value(), numeric);
        if (!numeric) return;
        const std::optional<int> whole = range::roundToInt16(*value);
        QCOMPARE(whole.has_value(), fits);
        if (fits) QCOMPARE(*whole, rounded);
    }

    // The rounding alone, at the halves and at the 16-bit edges.
    void rounding_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<int>("rounded");
        QTest::newRow("0.5") << 0.5 << true << 0;
        QTest::newRow("1.5") << 1.5 << true << 2;
        QTest::newRow("2.5") << 2.5 << true << 2;
        QTest::newRow("3.5") << 3.5 << true << 4;
        QTest::newRow("126.5") << 126.5 << true << 126;
        QTest::newRow("127.5") << 127.5 << true << 128;
        QTest::newRow("-0.5") << -0.5 << true << 0;
        QTest::newRow("-2.5") << -2.5 << true << -2;
        QTest::newRow("-3.5") << -3.5 << true << -4;
        QTest::newRow("1.4999") << 1.4999 << true << 1;
        QTest::newRow("32767.4") << 32767.4 << true << 32767;
        QTest::newRow("32767.5") << 32767.5 << false << 0;
        QTest::newRow("-32768.5") << -32768.5 << true << -32768;
        QTest::newRow("-32768.6") << -32768.6 << false << 0;
        QTest::newRow("1e10") << 1e10 << false << 0;
        QTest::newRow("-1e10") << -1e10 << false << 0;
        QTest::newRow("+inf") << std::numeric_limits<double>::infinity() << false << 0;
        QTest::newRow("-inf") << -std::numeric_limits<double>::infinity() << false << 0;
        QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << false << 0;
    }
    void rounding() {
        QFETCH(double, value);
        QFETCH(bool, fits);
        QFETCH(int, rounded);
        const std::optional<int> whole = range::roundToInt16(value);
        QCOMPARE(whole.has_value(), fits);
        if (fits) QCOMPARE(*whole, rounded);
    }

    void rangeCheck_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");

        auto ok = [](const char* name, const QString& f, const QString& l, const QLocale& loc,
                     int from,
                     int to) { QTest::newRow(name) << f << l << loc << true << from << to; };
        auto bad = [](const char* name, const QString& f, const QString& l, const QLocale& loc) {
            QTest::newRow(name) << f << l << loc << false << 0 << 0;
        };

        ok("automatic", "1", "127", english, 1, 127);
        ok("one address", "5", "5", english, 5, 5);
        ok("lowest alone", "1", "1", english, 1, 1);
        ok("highest alone", "127", "127", english, 127, 127);
        ok("blanks", " 7 ", " 9 ", english, 7, 9);
        ok("signs and trailing point", "+5", "5.", english, 5, 5);
        ok("one and a half with a point", "1.5", "3", english, 2, 3);
        ok("one and a half with a Spanish comma", "1,5", "3", spanish, 2, 3);
        ok("two and a half to even", "2.5", "3", english, 2, 3);
        ok("three and a half to even", "3.5", "4", english, 4, 4);
        ok("just above one half", "0.6", "1", english, 1, 1);
        ok("last half down to even", "1", "126.5", english, 1, 126);
        ok("exponent", "1e2", "127", english, 100, 127);
        ok("exponent in last", "1", "1e2", english, 1, 100);
        ok("Spanish comma thousandth", "1,000", "127", spanish, 1, 127);
        ok("Spanish point is decimal", "1.000", "127", spanish, 1, 127);

        bad("first zero", "0", "127", english);
        bad("last 128", "1", "128", english);
        bad("first 128", "128", "128", english);
        bad("last below first", "10", "9", english);
        bad("negative first", "-1", "5", english);
        bad("negative last", "1", "-5", english);
        bad("both negative", "-5", "-1", english);
        bad("empty first", "", "127", english);
        bad("empty last", "1", "", english);
        bad("blank first", "  ", "127", english);
        bad("letters first", "abc", "127", english);
        bad("letters last", "1", "xyz", english);
        bad("hex", "0x10", "127", english);
        bad("one half rounds to zero", "0.5", "127", english);
        bad("leading point half", ".5", "127", english);
        bad("rounding crosses last", "3.5", "3", english);
        bad("last half up to 128", "1", "127.5", english);
        bad("comma under English", "1,5", "3", english);
        bad("English thousands", "1,000", "127", english);
        bad("two points", "1.2.3", "127", english);
        bad("exponent out of 16 bits", "1", "1e5", english);
        bad("exponent out of 16 bits first", "1e5", "1", english);
        bad("beyond a double", "1", "1e999", english);
        bad("negative beyond a double", "-1e999", "5", english);
        bad("tiny rounds to zero", "1e-999", "5", english);
        bad("16-bit top", "32767", "32767", english);
        bad("16-bit bottom", "-32768", "1", english);
    }
    void rangeCheck() {
        QFETCH(QString, first);
        QFETCH(QString, last);
        QFETCH(QLocale, locale);
        QFETCH(bool, valid);
        QFETCH(int, from);
        QFETCH(int, to);
        const range::Verdict v = range::check(first, last, locale);
        QCOMPARE(v.valid, valid);
        if (!valid) return;
        QCOMPARE(v.first, from);
        QCOMPARE(v.last, to);
    }
};

QTEST_APPLESS_MAIN(TestRange)
#include "tst_range.moc"
