// The whole road of one relay with the real reply wait: connect, search the
// automatic range, give the relay a new address, find it there again.
#include "harness.h"
#include "texts.h"

class TestSlowRoad : public QObject {
    Q_OBJECT
private slots:
    void relayAt3GetsAddress10() {
        Line line(1);
        line.relay->addRelay(3);
        Form1 f;
        QCOMPARE(f.link->replyWait(), 500);
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));

        QVERIFY(connectForm(f, 1));
        QCOMPARE(f.label->text(),
                 QStringLiteral("PUERTO <COM1> DETECTADO. CONECTE UN SOLO RELÉ ORVANT A LA RED Y "
                                "PRESIONE <BUSCAR> PARA IDENTIFICARLO"));

        // Automatic range: two silent addresses, then the relay.
        QVERIFY(f.chk_aut->isChecked());
        QVERIFY(clickAndWait(f.cmb_buscar, 20000));
        const QList<QByteArray> polled = {
            ScriptedRelay::request(1, 3, 0, 3, 0, 1), ScriptedRelay::request(1, 3, 0, 3, 0, 1),
            ScriptedRelay::request(1, 3, 0, 3, 0, 1), ScriptedRelay::request(2, 3, 0, 3, 0, 1),
            ScriptedRelay::request(2, 3, 0, 3, 0, 1), ScriptedRelay::request(2, 3, 0, 3, 0, 1),
            ScriptedRelay::request(3, 3, 0, 3, 0, 1)};
        QCOMPARE(line.relay->requests.size(), polled.size());
        for (int i = 0; i < polled.size(); ++i) QCOMPARE(line.relay->requests[i].bytes, polled[i]);
        // A silent address is asked again only after a whole reply wait.
        for (int i = 1; i < polled.size(); ++i) {
            const double gap = line.relay->requests[i].atMs - line.relay->requests[i - 1].atMs;
            QVERIFY2(gap >= 450,
                     qPrintable(QStringLiteral("frame %1 after %2 ms").arg(i).arg(gap)));
        }
        QCOMPARE(f.label->text(),
                 QStringLiteral("SE HA DETECTADO UN ORVANT CON DIRECCIÓN <3>. SELECCIONE LA NUEVA "
                                "DIRECCIÓN Y PRESIONE <CAMBIAR>"));
        QCOMPARE(logLines(f),
                 (QStringList{startLine(1), kNoReply, startLine(2), kNoReply, startLine(3),
                              kCorrect, QStringLiteral("DETECTADO DIRECCIÓN <3>.")}));
        QCOMPARE(int(f.DirActual), 3);
        QVERIFY(f.frm_dir->isEnabled());

        // New address 10.
        f.cmb_dir->setCurrentText(QStringLiteral("10"));
        QVERIFY(clickAndWait(f.cmd_cambiar, 5000));
        QCOMPARE(line.relay->requests.last().bytes, ScriptedRelay::request(3, 6, 0, 3, 0, 10));
        QCOMPARE(line.relay->addresses(), QList<int>{10});
        QCOMPARE(f.label->text(),
                 QStringLiteral("SU RELÉ ORVANT HA SIDO RECONFIGURADO CON LA DIRECCIÓN <10>."
                                "CONECTE OTRO RELÉ ORVANT Y REPITA EL PROCESO"));
        QCOMPARE(logLines(f).mid(7),
                 (QStringList{startLine(3), kCorrect, QStringLiteral("DIRECCIÓN NUEVA:10")}));
        QCOMPARE(int(f.DirActual), 1);
        QVERIFY(f.frm_det->isEnabled());
        QVERIFY(!f.frm_dir->isEnabled());

        // A typed one-address range finds it at its new address.
        f.chk_aut->click();
        QVERIFY(!f.chk_aut->isChecked());
        QVERIFY(f.txt_ini->isEnabled());
        f.txt_ini->selectAll();
        QTest::keyClicks(f.txt_ini, QStringLiteral("10"));
        f.txt_fin->selectAll();
        QTest::keyClicks(f.txt_fin, QStringLiteral("10"));
        QCOMPARE(f.txt_ini->text(), QStringLiteral("10"));
        QCOMPARE(f.txt_fin->text(), QStringLiteral("10"));
        const qsizetype before = line.relay->requests.size();
        QVERIFY(clickAndWait(f.cmb_buscar, 5000));
        QCOMPARE(line.relay->requests.size(), before + 1);
        QCOMPARE(line.relay->requests.last().bytes, ScriptedRelay::request(10, 3, 0, 3, 0, 1));
        QCOMPARE(f.label->text(),
                 QStringLiteral("SE HA DETECTADO UN ORVANT CON DIRECCIÓN <10>. SELECCIONE LA NUEVA "
                                "DIRECCIÓN Y PRESIONE <CAMBIAR>"));
        QCOMPARE(logLines(f).mid(10), (QStringList{startLine(10), kCorrect,
                                                   QStringLiteral("DETECTADO DIRECCIÓN <10>.")}));
        QCOMPARE(int(f.DirActual), 10);
        QCOMPARE(f.lst->currentRow(), f.lst->count() - 1);
    }
};

QTEST_MAIN(TestSlowRoad)
#include "tst_slow_road.moc"
