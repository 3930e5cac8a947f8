// The whole road against libmodbus as the relay, with the real reply wait:
// our requests and check values must be what a standard Modbus stack takes,
// and its standard 7-byte read reply must be taken by us, on a plain line and
// through an adapter that echoes.
#include "harness.h"
#include "texts.h"

#include <QProcess>
#include <QSocketNotifier>
#include <fcntl.h>

namespace {

// A 2-wire adapter between the program and the peer: every byte the program
// sends goes to the peer and straight back to the program.
class EchoingAdapter {
public:
    explicit EchoingAdapter(const QByteArray& peerDevice)
        : m_peer(::open(peerDevice.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
          m_fromProgram(m_line.masterFd(), QSocketNotifier::Read),
          m_fromPeer(m_peer, QSocketNotifier::Read) {
        QObject::connect(&m_fromProgram, &QSocketNotifier::activated, [this] {
            const QByteArray bytes = readAll(m_line.masterFd());
            writeAll(m_peer, bytes);
            writeAll(m_line.masterFd(), bytes);
        });
        QObject::connect(&m_fromPeer, &QSocketNotifier::activated,
                         [this] { writeAll(m_line.masterFd(), readAll(m_peer)); });
    }
    ~EchoingAdapter() { ::close(m_peer); }
    QString programSide() const { return m_line.slavePath(); }
    bool isValid() const { return m_peer >= 0 && m_line.isValid(); }

private:
    static QByteArray readAll(int fd) {
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        return n > 0 ? QByteArray(buf, n) : QByteArray();
    }
    static void writeAll(int fd, const QByteArray& bytes) {
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.constData() + done, bytes.size() - done);
            if (n <= 0) return;
            done += n;
        }
    }
    Pty m_line;
    int m_peer;
    QSocketNotifier m_fromProgram;
    QSocketNotifier m_fromPeer;
};

} // namespace

class LibModbusPeer : public QObject {
    Q_OBJECT
private slots:
    void findChangeFindAgain_data() {
        QTest::addColumn<bool>("echoes");
        QTest::newRow("plain line") << false;
        QTest::newRow("adapter echoes") << true;
    }
    void findChangeFindAgain() {
        QFETCH(bool, echoes);
        QProcess peer;
        peer.setProcessChannelMode(QProcess::SeparateChannels);
        peer.start(QStringLiteral(MODBUS_PEER), {QStringLiteral("5")});
        QVERIFY(peer.waitForStarted());
        QVERIFY(peer.waitForReadyRead(5000));
        const QByteArray path = peer.readLine().trimmed();
        QVERIFY(path.startsWith("/dev/"));
        std::unique_ptr<EchoingAdapter> adapter;
        if (echoes) {
            adapter = std::make_unique<EchoingAdapter>(path);
            QVERIFY(adapter->isValid());
        }
        qputenv("ORVANT_COM1", echoes ? adapter->programSide().toLocal8Bit() : path);

        Form1 f; // the real 500 ms wait
        f.show();
        QVERIFY(connectForm(f, 1));

        // Automatic range: 1..4 stay silent, 5 answers with a 7-byte reply.
        QVERIFY(clickAndWait(f.cmb_buscar, 15000));
        QCOMPARE(int(f.DirActual), 5);
        // Learnt from the first read, and said once.
        QCOMPARE(logLines(f).mid(2, 1).contains(kEchoLine), echoes);
        QCOMPARE(logLines(f).mid(echoes ? 9 : 8),
                 QStringList({QStringLiteral("MENSAJE A LA DIRECCION <5>: "),
                              QStringLiteral("---------> CORRECTO"),
                              QStringLiteral("DETECTADO DIRECCIÓN <5>.")}));

        f.cmb_dir->setCurrentText(QStringLiteral("10"));
        QVERIFY(clickAndWait(f.cmd_cambiar, 5000));
        QCOMPARE(logLines(f).last(), QStringLiteral("DIRECCIÓN NUEVA:10"));
        QVERIFY(QTest::qWaitFor(
            [&] { return peer.readAllStandardError().contains("address now 10"); }, 2000));

        f.chk_aut->setChecked(false);
        f.txt_ini->setText(QStringLiteral("10"));
        f.txt_fin->setText(QStringLiteral("10"));
        const int before = f.lst->count();
        QVERIFY(clickAndWait(f.cmb_buscar, 5000));
        QCOMPARE(int(f.DirActual), 10);
        QCOMPARE(logLines(f).mid(before),
                 QStringList({QStringLiteral("MENSAJE A LA DIRECCION <10>: "),
                              QStringLiteral("---------> CORRECTO"),
                              QStringLiteral("DETECTADO DIRECCIÓN <10>.")}));

        f.close();
        peer.kill();
        peer.waitForFinished();
        qunsetenv("ORVANT_COM1");
    }
};

QTEST_MAIN(LibModbusPeer)
#include "tst_libmodbus.moc"
