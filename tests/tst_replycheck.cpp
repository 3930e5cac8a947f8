#include "link/crc.h"
#include "link/replycheck.h"
#include "scriptedrelay.h"

#include <QRandomGenerator>
#include <QSet>
#include <QTest>
#include <array>

// Check values come from the relay's own CRC routine, so that a fault in the
// program's CRC16 cannot hide behind a test built from it.
using Layout = ScriptedRelay::Layout;

namespace {

QByteArray hex(const char* digits) {
    return QByteArray::fromHex(digits);
}

// Exactly the eight bytes the check may look at; missing bytes are zeros,
// as in a buffer nothing has reached yet.
std::array<uint8_t, 8> eight(const QByteArray& b) {
    std::array<uint8_t, 8> a{};
    for (int i = 0; i < 8 && i < b.size(); ++i) a[i] = static_cast<uint8_t>(b.at(i));
    return a;
}

int verdict(const QByteArray& tx, const QByteArray& rx, int freshBytes) {
    const auto t = eight(tx);
    const auto r = eight(rx);
    return ReplyErrorFlag(t.data(), r.data(), CRC16(r.data(), 6), freshBytes);
}

QByteArray padded(QByteArray b) {
    while (b.size() < 8) b.append('\0');
    return b.left(8);
}

// The relay's own layout, judged on its own.
bool eightByteRuleHolds(const QByteArray& tx, const QByteArray& rx) {
    const QByteArray r = padded(rx);
    const QByteArray t = padded(tx);
    if (ScriptedRelay::withCrc(r.left(6)) != r) return false;
    if (r[0] != t[0] || r[1] != t[1]) return false;
    if (t[1] == 3 && r[2] != 2) return false;
    if (t[1] == 6 && r.mid(2, 4) != t.mid(2, 4)) return false;
    return true;
}

bool sevenByteRuleHolds(const QByteArray& tx, const QByteArray& rx, int freshBytes) {
    const QByteArray r = padded(rx);
    const QByteArray t = padded(tx);
    if (t[1] != 3 || freshBytes < 7) return false;
    if (r[0] != t[0] || r[1] != 3 || r[2] != 2) return false;
    return ScriptedRelay::withCrc(r.left(5)) == r.left(7);
}

// rx with byte index set to value; the check value is then made right
// again over the first `covered` bytes (0: left as it is).
QByteArray changed(QByteArray rx, int index, int value, int covered) {
    rx[index] = static_cast<char>(value);
    if (covered > 0) rx.replace(0, covered + 2, ScriptedRelay::withCrc(rx.left(covered)));
    return rx;
}

const QByteArray kRead1 = ScriptedRelay::request(1, 3, 0, 3, 0, 1);
const QByteArray kWrite1To5 = ScriptedRelay::request(1, 6, 0, 3, 0, 5);

} // namespace

class TestReplyCheck : public QObject {
    Q_OBJECT
private slots:
    void acceptsEightByteReplies_data() {
        QTest::addColumn<QByteArray>("tx");
        QTest::addColumn<QByteArray>("rx");
        const QByteArray read127 = ScriptedRelay::request(127, 3, 0, 3, 0, 1);
        const QByteArray write127 = ScriptedRelay::request(127, 6, 0, 3, 0, 127);
        const QByteArray fn4 = ScriptedRelay::request(9, 4, 0, 3, 0, 1);
        struct Case {
            const char* name;
            QByteArray tx, rx;
        } const cases[] = {
            {"read 1", kRead1, ScriptedRelay::readReply(1, 1, Layout::Eight)},
            {"read 1, three payload bytes", kRead1, ScriptedRelay::withCrc(hex("0103027F0011"))},
            {"read 127 value A55A", read127, ScriptedRelay::readReply(127, 0xA55A, Layout::Eight)},
            {"read 1 all-ones payload", kRead1, ScriptedRelay::withCrc(hex("010302FFFFFF"))},
            {"write 1 <- 5 echo", kWrite1To5, hex("010600030005B9C9")},
            {"write 127 <- 127 echo", write127, write127},
            {"function 4, any payload", fn4, ScriptedRelay::withCrc(hex("090412345678"))},
        };
        for (const Case& c : cases) QTest::newRow(c.name) << c.tx << c.rx;
    }
    void acceptsEightByteReplies() {
        QFETCH(QByteArray, tx);
        QFETCH(QByteArray, rx);
        // How many bytes came in this wait does not matter to this layout.
        for (int fresh : {0, 1, 7, 8, 21}) QCOMPARE(verdict(tx, rx, fresh), 0);
    }

    // Every value of every byte, alone: bytes that must match reject any
    // other value even with a right check value; "any value" bytes accept
    // every value once the check value fits; without a fitting check value
    // every change inside the checked span is rejected.
    void singleByteChange_data() {
        QTest::addColumn<QByteArray>("tx");
        QTest::addColumn<QByteArray>("rx");
        QTest::addColumn<int>("fresh");
        QTest::addColumn<int>("covered"); // bytes under the check value
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("anyValue");
        struct Base {
            const char* name;
            QByteArray tx, rx;
            int fresh, covered;
            QSet<int> any;
        };
        const Base bases[] = {
            {"read, 8 bytes",
             kRead1,
             ScriptedRelay::readReply(1, 1, Layout::Eight),
             0,
             6,
             {3, 4, 5}},
            {"read 127, 8 bytes",
             ScriptedRelay::request(127, 3, 0, 3, 0, 1),
             ScriptedRelay::readReply(127, 0x80FF, Layout::Eight),
             0,
             6,
             {3, 4, 5}},
            {"write echo", kWrite1To5, kWrite1To5, 0, 6, {}},
            {"write 127 echo",
             ScriptedRelay::request(127, 6, 0, 3, 0, 127),
             ScriptedRelay::request(127, 6, 0, 3, 0, 127),
             0,
             6,
             {}},
            {"function 4",
             ScriptedRelay::request(9, 4, 0, 3, 0, 1),
             ScriptedRelay::withCrc(hex("090400020001")),
             0,
             6,
             {2, 3, 4, 5}},
            {"function 16",
             ScriptedRelay::request(9, 16, 0, 3, 0, 1),
             ScriptedRelay::withCrc(hex("091000030001")),
             0,
             6,
             {2, 3, 4, 5}},
            {"read, 7 bytes + leftover",
             kRead1,
             ScriptedRelay::readReply(1, 1, Layout::Standard) + hex("EE"),
             7,
             5,
             {3, 4, 7}},
            {"read 127, 7 bytes + leftover",
             ScriptedRelay::request(127, 3, 0, 3, 0, 1),
             ScriptedRelay::readReply(127, 0x1234, Layout::Standard) + hex("3C"),
             21,
             5,
             {3, 4, 7}},
        };
        for (const Base& b : bases)
            for (int index = 0; index < 8; ++index)
                QTest::addRow("%s, byte %d", b.name, index)
                    << b.tx << b.rx << b.fresh << b.covered << index << b.any.contains(index);
    }
    void singleByteChange() {
        QFETCH(QByteArray, tx);
        QFETCH(QByteArray, rx);
        QFETCH(int, fresh);
        QFETCH(int, covered);
        QFETCH(int, index);
        QFETCH(bool, anyValue);
        QCOMPARE(verdict(tx, rx, fresh), 0);
        const bool checked = index < covered + 2;
        const int original = static_cast<uint8_t>(rx.at(index));
        for (int value = 0; value < 256; ++value) {
            if (value == original) continue;
            const QByteArray plain = changed(rx, index, value, 0);
            int expected = checked ? 1 : 0;
            // A seven-byte reply can meet the eight-byte rules by chance.
            if (covered == 5 && eightByteRuleHolds(tx, plain)) expected = 0;
            QVERIFY2(verdict(tx, plain, fresh) == expected,
                     qPrintable(QStringLiteral("value %1, check value left: %2")
                                    .arg(value)
                                    .arg(QString::fromLatin1(plain.toHex(' ')))));
            if (index >= covered) continue;
            const QByteArray fixed = changed(rx, index, value, covered);
            expected = anyValue ? 0 : 1;
            if (covered == 5 && eightByteRuleHolds(tx, fixed)) expected = 0;
            QVERIFY2(verdict(tx, fixed, fresh) == expected,
                     qPrintable(QStringLiteral("value %1, check value fitted: %2")
                                    .arg(value)
                                    .arg(QString::fromLatin1(fixed.toHex(' ')))));
        }
    }

    void sevenByteReply_data() {
        QTest::addColumn<QByteArray>("rx");
        QTest::addColumn<int>("fresh");
        QTest::addColumn<int>("expected");
        const QByteArray reply = ScriptedRelay::readReply(1, 1, Layout::Standard);
        for (const char* leftover : {"FF", "84", "5A", "01"}) {
            const QByteArray rx = reply + hex(leftover);
            for (int fresh : {7, 8, 21})
                QTest::addRow("left %s, %d fresh", leftover, fresh) << rx << fresh << 0;
            for (int fresh : {0, 1, 6})
                QTest::addRow("left %s, %d fresh", leftover, fresh) << rx << fresh << 1;
        }
        const QByteArray big = ScriptedRelay::readReply(1, 0xFFFF, Layout::Standard) + hex("11");
        QTest::newRow("value FFFF, 7 fresh") << big << 7 << 0;
        QTest::newRow("value FFFF, 6 fresh") << big << 6 << 1;
    }
    void sevenByteReply() {
        QFETCH(QByteArray, rx);
        QFETCH(int, fresh);
        QFETCH(int, expected);
        // Otherwise the eight-byte rules would decide, not the freshness.
        QVERIFY(!eightByteRuleHolds(kRead1, rx));
        QCOMPARE(verdict(kRead1, rx, fresh), expected);
    }

    // Feeding a check value's low byte back into the CRC leaves 00 hi, so a
    // seven-byte reply over a leftover 0 also meets the eight-byte rules,
    // stale or not.
    void sevenByteReplyOverZeroFitsEightByteRules_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("value");
        QTest::newRow("1, 1") << 1 << 1;
        QTest::newRow("127, FFFF") << 127 << 0xFFFF;
        QTest::newRow("5, 0") << 5 << 0;
    }
    void sevenByteReplyOverZeroFitsEightByteRules() {
        QFETCH(int, address);
        QFETCH(int, value);
        const QByteArray tx = ScriptedRelay::request(address, 3, 0, 3, 0, 1);
        const QByteArray rx =
            ScriptedRelay::readReply(address, value, Layout::Standard) + hex("00");
        for (int fresh : {0, 1, 6, 7, 21}) QCOMPARE(verdict(tx, rx, fresh), 0);
        // One byte count off and it fails however fresh it is.
        QByteArray wrong = rx;
        wrong[2] = 3;
        wrong = ScriptedRelay::withCrc(wrong.left(5)) + hex("00");
        for (int fresh : {0, 7, 21}) QCOMPARE(verdict(tx, wrong, fresh), 1);
    }

    void rejects_data() {
        QTest::addColumn<QByteArray>("tx");
        QTest::addColumn<QByteArray>("rx");
        QTest::addRow("read: exception reply") << kRead1 << ScriptedRelay::exceptionReply(1, 3, 2);
        QTest::addRow("read: exception behind an old reply")
            << kRead1
            << ScriptedRelay::exceptionReply(1, 3, 2) +
                   ScriptedRelay::readReply(1, 1, Layout::Eight).mid(5);
        QTest::addRow("write: exception reply")
            << kWrite1To5 << ScriptedRelay::exceptionReply(1, 6, 3);
        QTest::addRow("function 4: exception reply")
            << ScriptedRelay::request(9, 4, 0, 3, 0, 1) << ScriptedRelay::exceptionReply(9, 4, 1);
        QTest::addRow("read: other address, 8 bytes")
            << kRead1 << ScriptedRelay::readReply(2, 1, Layout::Eight);
        QTest::addRow("read: other address, 7 bytes")
            << kRead1 << ScriptedRelay::readReply(2, 1, Layout::Standard) + hex("00");
        QTest::addRow("read: address 0, 8 bytes")
            << kRead1 << ScriptedRelay::readReply(0, 1, Layout::Eight);
        QTest::addRow("write: other address echo")
            << kWrite1To5 << ScriptedRelay::request(2, 6, 0, 3, 0, 5);
        for (int count : {0, 1, 3, 4, 0x82}) {
            QByteArray body = hex("0103");
            body.append(static_cast<char>(count));
            QTest::addRow("read: byte count %d, 8 bytes", count)
                << kRead1 << ScriptedRelay::withCrc(body + hex("000100"));
            QTest::addRow("read: byte count %d, 7 bytes", count)
                << kRead1 << ScriptedRelay::withCrc(body + hex("0001")) + hex("00");
        }
        QTest::addRow("read: request echoed back") << kRead1 << kRead1;
        QTest::addRow("read: write echo") << kRead1 << ScriptedRelay::request(1, 6, 0, 3, 0, 1);
        QTest::addRow("read: 7 bytes, wrong check value")
            << kRead1 << ScriptedRelay::readReply(1, 1, Layout::Standard).left(6) + hex("0000");
        QTest::addRow("write: 7-byte read-shaped reply")
            << kWrite1To5 << ScriptedRelay::withCrc(hex("0106020005")) + hex("00");
        QTest::addRow("write: 7-byte read reply")
            << kWrite1To5 << ScriptedRelay::readReply(1, 5, Layout::Standard) + hex("00");
        QTest::addRow("read: nothing ever stored") << kRead1 << QByteArray(8, '\0');
        QTest::addRow("write: nothing ever stored") << kWrite1To5 << QByteArray(8, '\0');
    }
    void rejects() {
        QFETCH(QByteArray, tx);
        QFETCH(QByteArray, rx);
        for (int fresh : {0, 5, 6, 7, 8, 21})
            QVERIFY2(verdict(tx, rx, fresh) == 1, qPrintable(QString::number(fresh)));
    }

    // Random buffers near the valid shapes against both rules, written out
    // here on their own.
    void randomBuffersMatchTheRules() {
        QRandomGenerator rng(0x0DDC0FFE);
        auto byte = [&] { return static_cast<char>(rng.bounded(256)); };
        int eightAccepted = 0, sevenAccepted = 0, rejected = 0;
        for (int n = 0; n < 6000; ++n) {
            int fcn;
            switch (rng.bounded(5)) {
            case 0:
            case 1:
                fcn = 3;
                break;
            case 2:
            case 3:
                fcn = 6;
                break;
            default:
                fcn = rng.bounded(256);
                break;
            }
            const int address = rng.bounded(4) == 0 ? rng.bounded(256) : 1 + rng.bounded(3);
            const QByteArray tx =
                fcn == 3 ? ScriptedRelay::request(address, 3, 0, 3, 0, 1)
                         : ScriptedRelay::request(address, fcn, rng.bounded(2), rng.bounded(4),
                                                  rng.bounded(2), rng.bounded(128));
            QByteArray rx;
            QByteArray head;
            head.append(tx.at(0));
            head.append(tx.at(1));
            switch (rng.bounded(5)) {
            case 0: // eight-byte layout with a payload of any value
                rx = head + (fcn == 3 ? QByteArray(1, '\2') : QByteArray(1, byte()));
                for (int i = 0; i < 3; ++i) rx.append(byte());
                rx = ScriptedRelay::withCrc(rx);
                break;
            case 1: // the request itself (the write echo)
                rx = tx;
                break;
            case 2: // standard read reply and a leftover byte
                rx = ScriptedRelay::withCrc(head + QByteArray(1, '\2') + QByteArray(1, byte()) +
                                            QByteArray(1, byte())) +
                     QByteArray(1, byte());
                break;
            case 3: // exception reply over old bytes
                rx = ScriptedRelay::exceptionReply(address, fcn, 1 + rng.bounded(4)) + byte() +
                     byte() + byte();
                break;
            default:
                for (int i = 0; i < 8; ++i) rx.append(byte());
                break;
            }
            rx = padded(rx);
            // Then disturb it a little, sometimes fitting a check value again.
            const int changes = rng.bounded(3);
            for (int c = 0; c < changes; ++c) {
                const int index = rng.bounded(8);
                const int value = rng.bounded(3) == 0 ? rng.bounded(4) : rng.bounded(256);
                const int refit = rng.bounded(3);
                rx = changed(rx, index, value, refit == 0 ? 0 : (refit == 1 ? 5 : 6)).left(8);
            }
            const int fresh = rng.bounded(22);

            const bool eightOk = eightByteRuleHolds(tx, rx);
            const bool sevenOk = sevenByteRuleHolds(tx, rx, fresh);
            const int expected = (eightOk || sevenOk) ? 0 : 1;
            QVERIFY2(verdict(tx, rx, fresh) == expected,
                     qPrintable(QStringLiteral("tx %1 rx %2 fresh %3 expected %4")
                                    .arg(QString::fromLatin1(tx.toHex(' ')),
                                         QString::fromLatin1(rx.toHex(' ')))
                                    .arg(fresh)
                                    .arg(expected)));
            if (eightOk)
                ++eightAccepted;
            else if (sevenOk)
                ++sevenAccepted;
            else
                ++rejected;
        }
        // The draw must reach all three outcomes often enough to mean something.
        QVERIFY2(eightAccepted > 500, qPrintable(QString::number(eightAccepted)));
        QVERIFY2(sevenAccepted > 100, qPrintable(QString::number(sevenAccepted)));
        QVERIFY2(rejected > 1000, qPrintable(QString::number(rejected)));
    }
};

QTEST_APPLESS_MAIN(TestReplyCheck)
#include "tst_replycheck.moc"
