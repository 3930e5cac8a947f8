// The relay simulator as a user starts it: its command line, its link, the
// frames it answers and ignores, and a clean end on SIGTERM.
#include "scriptedrelay.h"

#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

QString simulator() {
    return QStringLiteral(RELAY_SIM);
}

// Sends one request and collects what comes back within ms.
QByteArray exchange(QSerialPort& port, const QByteArray& request, int ms = 300) {
    port.readAll();
    port.write(request);
    port.waitForBytesWritten(1000);
    QByteArray reply;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (port.waitForReadyRead(int(ms - t.elapsed()))) reply += port.readAll();
    }
    return reply;
}

struct Running {
    explicit Running(const QStringList& args) {
        proc.start(simulator(), args);
        if (proc.waitForStarted() && proc.waitForReadyRead(5000))
            path = QString::fromLocal8Bit(proc.readLine().trimmed());
    }
    ~Running() {
        proc.kill();
        proc.waitForFinished();
    }
    QProcess proc;
    QString path;
};

bool openRaw(QSerialPort& port, const QString& path) {
    port.setPortName(path);
    port.setBaudRate(9600);
    return port.open(QIODevice::ReadWrite);
}

} // namespace

class Simulator : public QObject {
    Q_OBJECT
private slots:
    void badCommandLinesExitWith2_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown option") << QStringList{"--bogus"};
        QTest::newRow("relay 0") << QStringList{"--relay", "0"};
        QTest::newRow("relay letters") << QStringList{"--relay", "five"};
        QTest::newRow("layout") << QStringList{"--layout", "nine"};
        QTest::newRow("negative delay") << QStringList{"--delay", "-5"};
        QTest::newRow("noise above 1") << QStringList{"--noise", "1.5"};
        QTest::newRow("drop letters") << QStringList{"--drop", "x"};
        QTest::newRow("late with delay") << QStringList{"--late", "--delay", "10"};
        QTest::newRow("stray argument") << QStringList{"extra"};
        QTest::newRow("exception 0") << QStringList{"--exception", "0"};
        QTest::newRow("burst letters") << QStringList{"--burst", "x"};
    }
    void badCommandLinesExitWith2() {
        QFETCH(QStringList, args);
        QProcess p;
        p.start(simulator(), args);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 2);
        const QList<QByteArray> lines = p.readAllStandardError().trimmed().split('\n');
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().startsWith("orvant-relay-sim: "));
    }

    void answersLikeRelaysOnABus_data() {
        QTest::addColumn<QString>("layout");
        QTest::newRow("eight") << QStringLiteral("eight");
        QTest::newRow("standard") << QStringLiteral("standard");
    }
    void answersLikeRelaysOnABus() {
        QFETCH(QString, layout);
        Running sim({"--relay", "5", "--relay", "9", "--layout", layout});
        QSerialPort port;
        QVERIFY(openRaw(port, sim.path));
        const auto standard = layout == QLatin1String("standard") ? ScriptedRelay::Layout::Standard
                                                                  : ScriptedRelay::Layout::Eight;

        QCOMPARE(exchange(port, ScriptedRelay::request(5, 3, 0, 3, 0, 1)),
                 ScriptedRelay::readReply(5, 5, standard));
        QCOMPARE(exchange(port, ScriptedRelay::request(9, 3, 0, 3, 0, 1)),
                 ScriptedRelay::readReply(9, 9, standard));
        // Nobody at 6; a bad check value and junk are ignored.
        QVERIFY(exchange(port, ScriptedRelay::request(6, 3, 0, 3, 0, 1)).isEmpty());
        QByteArray broken = ScriptedRelay::request(5, 3, 0, 3, 0, 1);
        broken[7] = char(broken[7] ^ 1);
        QVERIFY(exchange(port, broken).isEmpty());
        QVERIFY(exchange(port, QByteArray("\x01\x02\x03", 3)).isEmpty());

        // A write outside 1..127 is refused and changes nothing.
        QCOMPARE(exchange(port, ScriptedRelay::request(5, 6, 0, 3, 0, 0)),
                 ScriptedRelay::exceptionReply(5, 6, 3));
        // A good write is echoed, and the relay moves to the new address.
        const QByteArray write = ScriptedRelay::request(5, 6, 0, 3, 0, 12);
        QCOMPARE(exchange(port, write), write);
        QVERIFY(exchange(port, ScriptedRelay::request(5, 3, 0, 3, 0, 1)).isEmpty());
        QCOMPARE(exchange(port, ScriptedRelay::request(12, 3, 0, 3, 0, 1)),
                 ScriptedRelay::readReply(12, 12, standard));
    }

    void faultsOnDemand() {
        {
            Running sim({"--silent"});
            QSerialPort port;
            QVERIFY(openRaw(port, sim.path));
            QVERIFY(exchange(port, ScriptedRelay::request(5, 3, 0, 3, 0, 1)).isEmpty());
        }
        {
            // A late reply misses a 500 ms wait but does arrive.
            Running sim({"--late"});
            QSerialPort port;
            QVERIFY(openRaw(port, sim.path));
            QVERIFY(exchange(port, ScriptedRelay::request(5, 3, 0, 3, 0, 1), 500).isEmpty());
            QVERIFY(port.waitForReadyRead(1000));
        }
    }

    // What the program hears back for a read of the relay at 5.
    void lineFaults_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("heard");
        const QByteArray read = ScriptedRelay::request(5, 3, 0, 3, 0, 1);
        const QByteArray reply = ScriptedRelay::readReply(5, 5, ScriptedRelay::Layout::Eight);
        QByteArray inverted = reply;
        for (char& c : inverted) c = char(~c);
        QTest::newRow("echo") << QStringList{"--echo"} << read + reply;
        QTest::newRow("garble") << QStringList{"--garble"} << inverted;
        QTest::newRow("exception 4")
            << QStringList{"--exception", "4"} << ScriptedRelay::exceptionReply(5, 3, 4);
        QTest::newRow("echo in bursts") << QStringList{"--echo", "--burst", "16"} << read + reply;
    }
    void lineFaults() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, heard);
        Running sim(args);
        QSerialPort port;
        QVERIFY(openRaw(port, sim.path));
        QCOMPARE(exchange(port, ScriptedRelay::request(5, 3, 0, 3, 0, 1)).toHex(' '),
                 heard.toHex(' '));
    }

    void verboseLogsBothWaysAndChanges() {
        Running sim({"--verbose"});
        QSerialPort port;
        QVERIFY(openRaw(port, sim.path));
        exchange(port, ScriptedRelay::request(5, 6, 0, 3, 0, 10));
        QVERIFY(QTest::qWaitFor([&] { return sim.proc.bytesAvailable() > 0; }, 2000));
        QTest::qWait(100);
        const QString log = QString::fromLocal8Bit(sim.proc.readAll());
        QVERIFY2(log.contains(QLatin1String("tool  -> relay  05 06 00 03 00 0A")), qPrintable(log));
        QVERIFY2(log.contains(QLatin1String("relay -> tool   05 06 00 03 00 0A")), qPrintable(log));
        QVERIFY2(log.contains(QLatin1String("relay at 5 now answers at 10")), qPrintable(log));
    }

    void linkMadeAndRemovedOnSigterm() {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("COM1"));
        Running sim({"--link", link});
        QVERIFY(!sim.path.isEmpty());
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.path);
        ::kill(pid_t(sim.proc.processId()), SIGTERM);
        QVERIFY(sim.proc.waitForFinished(3000));
        QCOMPARE(sim.proc.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.proc.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    }
};

QTEST_MAIN(Simulator)
#include "tst_simulator.moc"
