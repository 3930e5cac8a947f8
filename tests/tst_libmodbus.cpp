// The whole road against libmodbus as the relay, with the real reply wait:
// our requests and check values must be what a standard Modbus stack takes,
// and its standard 7-byte read reply must be taken by us.
#include "harness.h"

#include <QProcess>

class LibModbusPeer : public QObject {
    Q_OBJECT
private slots:
    void findChangeFindAgain() {
        QProcess peer;
        peer.setProcessChannelMode(QProcess::SeparateChannels);
        peer.start(QStringLiteral(MODBUS_PEER), {QStringLiteral("5")});
        QVERIFY(peer.waitForStarted());
        QVERIFY(peer.waitForReadyRead(5000));
        const QByteArray path = peer.readLine().trimmed();
        QVERIFY(path.startsWith("/dev/"));
        qputenv("ORVANT_COM1", path);

        Form1 f; // the real 500 ms wait
        f.show();
        QVERIFY(connectForm(f, 1));

        // Automatic range: 1..4 stay silent, 5 answers with a 7-byte reply.
        QVERIFY(clickAndWait(f.cmb_buscar, 15000));
        QCOMPARE(int(f.DirActual), 5);
        QCOMPARE(logLines(f).mid(8), QStringList({QStringLiteral("MENSAJE A LA DIRECCION <5>: "),
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
