#include "harness.h"

#include <QElapsedTimer>

// The reply wait with the program's own 500 ms timer. Waits must never be
// shorter; the upper bounds are loose, they only catch a wait that does not
// end on the first notification of its period.
namespace {

constexpr double kPeriod = 500;
constexpr double kReadLag = 2; // ms the in-process reader may lag a write
constexpr double kSlack = 250;
const QByteArray kRead1 = QByteArray::fromHex("010300030001740A");

} // namespace

class TestRealTiming : public QObject {
    Q_OBJECT
private slots:
    void silentAddressTakesThreeWholeWaits() {
        LinkBench r(500);
        Line& line = r.line;
        ModbusLink& f = r.link;
        QCOMPARE(f.replyWait(), 500);
        QVERIFY(r.open());

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(int(f.Modbus(1, 3, 0, 3, 0, 1)), 1);
        const double took = clock.nsecsElapsed() / 1e6;

        QByteArray all;
        for (const auto& chunk : line.relay->received) all += chunk.bytes;
        QCOMPARE(all.toHex(' '), (kRead1 + kRead1 + kRead1).toHex(' '));
        const auto& req = line.relay->requests;
        QCOMPARE(req.size(), 3);
        for (int i = 1; i < req.size(); ++i) {
            QCOMPARE(req[i].bytes, kRead1);
            // Measured where the relay reads each frame, as a device would.
            // The reader runs in this process's event loop, so each reading
            // may lag its write by a little; a shortened or coarse wait (a
            // coarse timer fires up to 25 ms early) still shows.
            const double gap = req[i].atMs - req[i - 1].atMs;
            QVERIFY2(
                gap >= kPeriod - kReadLag && gap < kPeriod + kSlack,
                qPrintable(
                    QStringLiteral("frames %1 and %2: %3 ms apart").arg(i).arg(i + 1).arg(gap)));
        }
        QVERIFY2(took >= 3 * kPeriod, qPrintable(QString::number(took)));
        QVERIFY2(took < 3 * (kPeriod + kSlack), qPrintable(QString::number(took)));
        QCOMPARE(logLines(r.lst), QStringList({QStringLiteral("MENSAJE A LA DIRECCION <1>: "),
                                               QStringLiteral("---------> NO RESPONDE")}));
    }

    void earlyReplyStillWaitsWholePeriod() {
        LinkBench r(500);
        Line& line = r.line;
        ModbusLink& f = r.link;
        line.relay->addRelay(1);
        line.relay->delayMs = 10;
        QVERIFY(r.open());

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(int(f.Modbus(1, 3, 0, 3, 0, 1)), 0);
        const double took = clock.nsecsElapsed() / 1e6;

        QCOMPARE(line.relay->requests.size(), 1);
        QCOMPARE(line.relay->sent.size(), 1);
        const double replyAfter = line.relay->sent[0].atMs - line.relay->requests[0].atMs;
        QVERIFY2(replyAfter < 100, qPrintable(QString::number(replyAfter)));
        QVERIFY2(took >= kPeriod && took < kPeriod + kSlack, qPrintable(QString::number(took)));
        QCOMPARE(r.lst.line(1), QStringLiteral("---------> CORRECTO"));
    }

    // Between transactions the timer keeps its own rhythm; the next wait
    // must still get a whole period from the moment it sets it.
    void nextWaitIgnoresTheRunningPeriod() {
        LinkBench r(500);
        ModbusLink& f = r.link;
        r.relay().addRelay(1);
        QVERIFY(r.open());
        QCOMPARE(int(f.Modbus(1, 3, 0, 3, 0, 1)), 0);
        f.TimeOutFlag = QVariant::fromValue<int16_t>(0);
        QTest::qWait(int(kPeriod * 1.5));
        QCOMPARE(f.TimeOutFlag.toInt(), 1);

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(int(f.Modbus(1, 3, 0, 3, 0, 1)), 0);
        const double took = clock.nsecsElapsed() / 1e6;
        QVERIFY2(took >= kPeriod && took < kPeriod + kSlack, qPrintable(QString::number(took)));
    }
};

QTEST_MAIN(TestRealTiming)
#include "tst_slow_realtiming.moc"
