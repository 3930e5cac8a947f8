// The three user steps driven through the window, over a real serial line
// (a pseudo-terminal) with scripted relays on its far end.
#include "harness.h"
#include "texts.h"
#include "workflow/range.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>

namespace {

QByteArray readFrame(int address) {
    return ScriptedRelay::request(address, 3, 0, 3, 0, 1);
}

QByteArray writeFrame(int address, int value) {
    return ScriptedRelay::request(address, 6, 0, 3, 0, value);
}

// Any relay on the test bus answers well within this: a reply has more than
// 100 ms to spare, even on a loaded machine.
constexpr int kWait = 110;

QList<QByteArray> requestFrames(const ScriptedRelay& relay) {
    QList<QByteArray> frames;
    for (const auto& r : relay.requests) frames << r.bytes;
    return frames;
}

QByteArray everythingReceived(const ScriptedRelay& relay) {
    QByteArray all;
    for (const auto& c : relay.received) all += c.bytes;
    return all;
}

// The addresses named by the log's start lines, in order.
QList<int> loggedAddresses(const Form1& f) {
    QList<int> addresses;
    const QString head = QStringLiteral("MENSAJE A LA DIRECCION <");
    for (const QString& line : logLines(f)) {
        if (!line.startsWith(head)) continue;
        addresses << line.mid(head.size()).section(QLatin1Char('>'), 0, 0).toInt();
    }
    return addresses;
}

bool ownEnabled(const QWidget* w) {
    return w->isEnabledTo(w->parentWidget());
}

void verifyPanel2Color(const Form1& f, const QColor& c) {
    for (const QWidget* w :
         {static_cast<const QWidget*>(f.frm_det), static_cast<const QWidget*>(f.lbl_ini),
          static_cast<const QWidget*>(f.lbl_fin), static_cast<const QWidget*>(f.lbl_rango),
          static_cast<const QWidget*>(f.chk_aut)}) {
        if (Form1::BackColor(w) != c)
            QFAIL(qPrintable(QStringLiteral("%1 has %2, expected %3")
                                 .arg(w->objectName(), Form1::BackColor(w).name(), c.name())));
    }
}

// Step 2 with the port open: what a connect, a failed search or either
// outcome of a change leaves, apart from panel 1's colour.
void verifyReadyToSearch(const Form1& f) {
    QCOMPARE(f.cmd_conexion->text(), QStringLiteral("Desconectar"));
    QVERIFY(f.link->MSComm1->PortOpen());
    QVERIFY(!ownEnabled(f.cmb_com));
    QVERIFY(f.frm_com->isEnabled());
    QCOMPARE(Form1::BackColor(f.frm_com), Form1::COLOR_IDLE());
    QVERIFY(f.frm_det->isEnabled());
    verifyPanel2Color(f, Form1::COLOR_ACTIVE);
    QVERIFY(!f.frm_dir->isEnabled());
    QCOMPARE(Form1::BackColor(f.frm_dir), Form1::COLOR_IDLE());
}

// Step 3 after a successful search.
void verifyAddressKnown(const Form1& f) {
    QVERIFY(f.link->MSComm1->PortOpen());
    QVERIFY(!f.frm_com->isEnabled());
    QVERIFY(!f.frm_det->isEnabled());
    QCOMPARE(Form1::BackColor(f.frm_com), Form1::COLOR_IDLE());
    verifyPanel2Color(f, Form1::COLOR_IDLE());
    QVERIFY(f.frm_dir->isEnabled());
    QCOMPARE(Form1::BackColor(f.frm_dir), Form1::COLOR_ACTIVE);
    QCOMPARE(Form1::BackColor(f.txt_ini), Form1::COLOR_OK);
    QCOMPARE(Form1::BackColor(f.txt_fin), Form1::COLOR_OK);
}

// A completed disconnect; a lost port must end in the very same state.
void verifyDisconnected(const Form1& f) {
    QCOMPARE(f.cmd_conexion->text(), QStringLiteral("Conectar"));
    QVERIFY(!f.link->MSComm1->PortOpen());
    QVERIFY(ownEnabled(f.cmb_com));
    QVERIFY(f.frm_com->isEnabled());
    QCOMPARE(Form1::BackColor(f.frm_com), Form1::COLOR_ACTIVE);
    QVERIFY(!f.frm_det->isEnabled());
    verifyPanel2Color(f, Form1::COLOR_IDLE());
    QVERIFY(!f.frm_dir->isEnabled());
    QCOMPARE(Form1::BackColor(f.frm_dir), Form1::COLOR_IDLE());
}

// Enabled states and colours of everything a step may touch.
QStringList panelSnapshot(const Form1& f) {
    QStringList s;
    for (const QWidget* w :
         {static_cast<const QWidget*>(f.frm_com), static_cast<const QWidget*>(f.cmb_com),
          static_cast<const QWidget*>(f.frm_det), static_cast<const QWidget*>(f.lbl_ini),
          static_cast<const QWidget*>(f.lbl_fin), static_cast<const QWidget*>(f.lbl_rango),
          static_cast<const QWidget*>(f.chk_aut), static_cast<const QWidget*>(f.frm_dir)})
        s << QStringLiteral("%1 %2 %3")
                 .arg(w->objectName())
                 .arg(ownEnabled(w) ? "on" : "off")
                 .arg(Form1::BackColor(w).name());
    s << f.cmd_conexion->text();
    return s;
}

// Time for a scan of n addresses that all stay silent, with room to spare.
int scanBudget(int addresses, int waitMs) {
    return addresses * 3 * waitMs * 2 + 5000;
}

// Leaves the automatic mode and types the range.
void typeRange(Form1& f, const QString& first, const QString& last) {
    if (f.chk_aut->isChecked()) f.chk_aut->click();
    f.txt_ini->setText(first);
    f.txt_fin->setText(last);
}

} // namespace

class TestWorkflow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { m_locale = QLocale(); }
    void cleanup() { QLocale::setDefault(m_locale); }

    // ---- Step 1: port connection ----

    void connectAndDisconnect_data() {
        QTest::addColumn<int>("com");
        QTest::newRow("COM1") << 1;
        QTest::newRow("COM3") << 3;
        QTest::newRow("COM20") << 20;
    }
    void connectAndDisconnect() {
        QFETCH(int, com);
        Bench b(kWait, com);
        const QColor panel3Before = Form1::BackColor(b.f.frm_dir);

        QVERIFY(connectForm(b.f, com));
        QCOMPARE(b.f.label->text(), QStringLiteral("PUERTO <COM%1").arg(com) + kConnectedTail);
        verifyReadyToSearch(b.f);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(Form1::BackColor(b.f.frm_dir), panel3Before);
        QCOMPARE(b.f.link->MSComm1->device(), b.line.pty.slavePath());
        // 9600 8N1, as the device itself has it.
        const termios line = lineState(b.line.pty);
        QCOMPARE(cfgetospeed(&line), speed_t(B9600));
        QCOMPARE(line.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));

        b.f.cmd_conexion->click();
        QCOMPARE(b.f.label->text(), kDisconnected);
        verifyDisconnected(b.f);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(b.f.lst->count(), 0);

        // The same port opens again after a disconnect.
        QVERIFY(connectForm(b.f, com));
        QCOMPARE(b.f.label->text(), QStringLiteral("PUERTO <COM%1").arg(com) + kConnectedTail);
        QCOMPARE(b.f.lst->count(), 0);
        QVERIFY(b.relay().received.isEmpty());
    }

    void portFollowsPositionNotText() {
        Bench b(kWait, 3);
        b.f.cmb_com->setItemText(2, QStringLiteral("COM7"));
        QVERIFY(connectForm(b.f, 3));
        QCOMPARE(b.f.link->MSComm1->device(), b.line.pty.slavePath());
        QVERIFY(b.f.label->text().startsWith(QStringLiteral("PUERTO <COM3> DETECTADO.")));
    }

    // A port that will not open says why when another port would not help,
    // hands the port choice back and keeps the details in the tooltip.
    void unusablePortReports8002_data() {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("status"); // <dev> stands for the device's name
        QTest::newRow("no such path") << "no such path" << kBadPort;
        QTest::newRow("held by another program")
            << "held"
            << "ERROR: <dev> ESTÁ EN USO POR OTRO PROGRAMA. CIÉRRELO E INTENTE DE NUEVO";
        QTest::newRow("no permission") << "no permission"
                                       << "ERROR: SIN PERMISO PARA ABRIR <dev>. AGREGUE SU "
                                          "USUARIO AL GRUPO uucp Y VUELVA A INICIAR SESIÓN";
        // Joining root's group is no advice to give.
        QTest::newRow("no permission, group root")
            << "no permission, group root"
            << "ERROR: SIN PERMISO PARA ABRIR <dev>. UN ADMINISTRADOR DEBE DARLE ACCESO AL "
               "DISPOSITIVO";
    }
    void unusablePortReports8002() {
        QFETCH(QString, cause);
        QFETCH(QString, status);
        Line other(5), held(4);
        status.replace(QLatin1String("<dev>"), QFileInfo(held.pty.slavePath()).fileName());
        QSerialPort holder(held.pty.slavePath());
        QString path = held.pty.slavePath();
        if (cause == QLatin1String("no such path")) {
            path = QStringLiteral("/nonexistent/orvant-tty-missing");
            qputenv("ORVANT_COM4", path.toLocal8Bit());
        } else if (cause == QLatin1String("held")) {
            QVERIFY(holder.open(QIODevice::ReadWrite));
        } else {
            const char* group = cause.endsWith(QLatin1String("root")) ? "root" : "uucp";
            if (!lockOutNobody(held.pty.slavePath(), group))
                QSKIP("needs root, a group uucp and a user nobody to connect as a user outside "
                      "the device's group");
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(), {"--connect-as-nobody"});
            QVERIFY(child.waitForFinished(20000));
            const QString shown = QString::fromUtf8(child.readAllStandardOutput());
            QCOMPARE(shown.section('\n', 0, 0), status);
            QVERIFY2(shown.section('\n', 1, 1).contains(path), qPrintable(shown));
            QCOMPARE(shown.section('\n', 2), QStringLiteral("cmb_com enabled"));
            return;
        }
        Form1 f(kWait);
        f.cmb_com->setCurrentIndex(3);
        f.cmd_conexion->click();

        QCOMPARE(f.label->text(), status);
        QVERIFY2(f.label->toolTip().contains(path), qPrintable(f.label->toolTip()));
        QVERIFY(!f.link->MSComm1->PortOpen());
        QCOMPARE(f.cmd_conexion->text(), QStringLiteral("Conectar"));
        QVERIFY(ownEnabled(f.cmb_com));
        QVERIFY(f.frm_com->isEnabled());
        QCOMPARE(Form1::BackColor(f.frm_com), Form1::COLOR_ACTIVE);
        QVERIFY(!f.frm_det->isEnabled());
        verifyPanel2Color(f, Form1::COLOR_IDLE());
        QVERIFY(!f.frm_dir->isEnabled());
        QCOMPARE(f.lst->count(), 0);

        // The user picks another port and goes on.
        QVERIFY(connectForm(f, 5));
        QVERIFY(f.label->text().startsWith(QStringLiteral("PUERTO <COM5> DETECTADO.")));
        QCOMPARE(f.label->toolTip(), QString());
        verifyReadyToSearch(f);
    }

    void captionOtherThanConectarDisconnects_data() {
        QTest::addColumn<QString>("caption");
        QTest::newRow("lower case") << QStringLiteral("conectar");
        QTest::newRow("upper case") << QStringLiteral("CONECTAR");
        QTest::newRow("trailing blank") << QStringLiteral("Conectar ");
        QTest::newRow("empty") << QString();
    }
    void captionOtherThanConectarDisconnects() {
        QFETCH(QString, caption);
        Bench b(kWait);
        b.f.cmb_com->setCurrentIndex(0);
        b.f.cmd_conexion->setText(caption);
        b.f.cmd_conexion->click();
        QCOMPARE(b.f.label->text(), kDisconnected);
        verifyDisconnected(b.f);
        QCOMPARE(b.f.lst->count(), 0);
    }

    // ---- Step 2: address search ----

    void searchOutcome_data() {
        QTest::addColumn<QList<int>>("relays");
        QTest::addColumn<QString>("first"); // empty: automatic range
        QTest::addColumn<QString>("last");
        QTest::addColumn<bool>("spanish");
        QTest::addColumn<int>("waitMs");
        QTest::addColumn<QList<int>>("polled");
        QTest::addColumn<int>("found");     // 0: nothing answers
        QTest::addColumn<QString>("fault"); // of the line: echo, garble, exception, twin, burst
        QTest::addColumn<QStringList>("reasons"); // logged after the last exchange

        auto upTo = [](int from, int to) {
            QList<int> l;
            for (int a = from; a <= to; ++a) l << a;
            return l;
        };
        const QString autoRange;
        QTest::newRow("relay at 1") << QList<int>{1} << autoRange << autoRange << false << kWait
                                    << QList<int>{1} << 1 << QString() << QStringList();
        QTest::newRow("relay at 5") << QList<int>{5} << autoRange << autoRange << false << kWait
                                    << upTo(1, 5) << 5 << QString() << QStringList();
        QTest::newRow("two relays, the lower wins")
            << QList<int>{7, 3} << autoRange << autoRange << false << kWait << upTo(1, 3) << 3
            << QString() << QStringList();
        QTest::newRow("one-address range")
            << QList<int>{5} << QStringLiteral("5") << QStringLiteral("5") << false << kWait
            << QList<int>{5} << 5 << QString() << QStringList();
        QTest::newRow("relay outside the range")
            << QList<int>{9} << QStringLiteral("5") << QStringLiteral("8") << false << kWait
            << upTo(5, 8) << 0 << QString() << QStringList();
        QTest::newRow("one and a half, Spanish comma, starts at 2")
            << QList<int>{3} << QStringLiteral("1,5") << QStringLiteral("3") << true << kWait
            << upTo(2, 3) << 3 << QString() << QStringList();
        QTest::newRow("one and a half, point, starts at 2")
            << QList<int>{3} << QStringLiteral("1.5") << QStringLiteral("3") << false << kWait
            << upTo(2, 3) << 3 << QString() << QStringList();
        QTest::newRow("two and a half starts at 2")
            << QList<int>{3} << QStringLiteral("2.5") << QStringLiteral("3") << false << kWait
            << upTo(2, 3) << 3 << QString() << QStringList();
        QTest::newRow("three and a half starts at 4")
            << QList<int>{3, 4} << QStringLiteral("3.5") << QStringLiteral("4") << false << kWait
            << QList<int>{4} << 4 << QString() << QStringList();
        QTest::newRow("blanks, sign, trailing point")
            << QList<int>{6} << QStringLiteral(" +6") << QStringLiteral("6.") << false << kWait
            << QList<int>{6} << 6 << QString() << QStringList();
        QTest::newRow("exponent") << QList<int>{10} << QStringLiteral("1e1") << QStringLiteral("10")
                                  << false << kWait << QList<int>{10} << 10 << QString()
                                  << QStringList();
        QTest::newRow("relay at 127, automatic range")
            << QList<int>{127} << autoRange << autoRange << false << kWait << upTo(1, 127) << 127
            << QString() << QStringList();
        QTest::newRow("nothing attached, automatic range")
            << QList<int>{} << autoRange << autoRange << false << 20 << upTo(1, 127) << 0
            << QString() << QStringList();
        const QString garbled = QStringLiteral(
            ": VELOCIDAD DISTINTA DE 9600, CABLES A/B INVERTIDOS O DOS RELÉS CON LA MISMA "
            "DIRECCIÓN");
        QTest::newRow("relay at 5, adapter echoes")
            << QList<int>{5} << autoRange << autoRange << false << kWait << upTo(1, 5) << 5
            << QStringLiteral("echo") << QStringList();
        QTest::newRow("relay at 3, adapter echoes, 16 ms bursts")
            << QList<int>{3} << autoRange << autoRange << false << kWait << upTo(1, 3) << 3
            << QStringLiteral("echo burst") << QStringList();
        QTest::newRow("relays at 2 to 6, garbled")
            << upTo(2, 6) << QStringLiteral("1") << QStringLiteral("7") << false << kWait
            << upTo(1, 7) << 0 << QStringLiteral("garble")
            << QStringList{QStringLiteral("RESPUESTAS ILEGIBLES DE LAS DIRECCIONES <2>, <3>, <4> "
                                          "Y 2 MÁS") +
                           garbled};
        QTest::newRow("two relays at 4")
            << QList<int>{4} << QStringLiteral("3") << QStringLiteral("5") << false << kWait
            << upTo(3, 5) << 0 << QStringLiteral("twin")
            << QStringList{QStringLiteral("RESPUESTA ILEGIBLE DE LA DIRECCIÓN <4>") + garbled};
        QTest::newRow("exception 2 at 3")
            << QList<int>{3} << QStringLiteral("2") << QStringLiteral("4") << false << kWait
            << upTo(2, 4) << 0 << QStringLiteral("exception")
            << QStringList{QStringLiteral("EXCEPCIÓN MODBUS 2 DE LA DIRECCIÓN <3>: NO ES UN RELÉ "
                                          "ORVANT O RECHAZA EL REGISTRO 3")};
    }

    void searchOutcome() {
        QFETCH(QList<int>, relays);
        QFETCH(QString, first);
        QFETCH(QString, last);
        QFETCH(bool, spanish);
        QFETCH(int, waitMs);
        QFETCH(QList<int>, polled);
        QFETCH(int, found);
        QFETCH(QString, fault);
        QFETCH(QStringList, reasons);

        Bench b(waitMs);
        for (int a : relays) b.relay().addRelay(a);
        plantFaults(b.relay(), fault);
        QVERIFY(connectForm(b.f));
        if (!first.isEmpty()) typeRange(b.f, first, last);
        if (spanish) QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
        const QStringList panelsBefore = panelSnapshot(b.f);

        QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(polled.size(), waitMs)));

        // One transaction per address, ascending; a silent one costs three
        // identical frames, the answering one a single frame.
        QList<QByteArray> expectedFrames;
        QStringList expectedLog;
        for (int a : polled) {
            const int copies = a == found ? 1 : 3;
            for (int i = 0; i < copies; ++i) expectedFrames << readFrame(a);
            expectedLog << startLine(a) << (a == found ? kCorrect : kNoReply);
        }
        // The echo is named once, after the exchange that revealed it.
        if (fault.startsWith(QLatin1String("echo"))) expectedLog.insert(2, kEchoLine);
        QCOMPARE(requestFrames(b.relay()), expectedFrames);
        QCOMPARE(everythingReceived(b.relay()), expectedFrames.join());

        QCOMPARE(Form1::BackColor(b.f.txt_ini), Form1::COLOR_OK);
        QCOMPARE(Form1::BackColor(b.f.txt_fin), Form1::COLOR_OK);
        if (found) {
            expectedLog << QStringLiteral("DETECTADO DIRECCIÓN <%1>.").arg(found);
            QCOMPARE(logLines(b.f), expectedLog);
            QCOMPARE(b.f.lst->currentRow(), b.f.lst->count() - 1);
            QCOMPARE(b.f.label->text(), foundStatus(found));
            QCOMPARE(int(b.f.DirActual), found);
            verifyAddressKnown(b.f);
        } else {
            QCOMPARE(logLines(b.f), expectedLog + reasons);
            QCOMPARE(b.f.label->text(), kNotFound);
            QCOMPARE(int(b.f.DirActual), 0);
            // Usable again, and not a colour changed.
            QCOMPARE(panelSnapshot(b.f), panelsBefore);
            QVERIFY(b.f.frm_com->isEnabled());
            QVERIFY(b.f.frm_det->isEnabled());
            QVERIFY(!b.f.frm_dir->isEnabled());
        }
    }

    void whileSearching() {
        Bench b(kWait);
        b.relay().addRelay(2);
        QVERIFY(connectForm(b.f));
        QString status;
        bool panel1 = true, panel2 = true, panel3 = true;
        QColor iniColor, finColor;
        int seen = 0;
        b.relay().script = [&](const QByteArray&, int index) {
            if (index == 0) {
                status = b.f.label->text();
                panel1 = b.f.frm_com->isEnabled();
                panel2 = b.f.frm_det->isEnabled();
                panel3 = b.f.frm_dir->isEnabled();
                iniColor = Form1::BackColor(b.f.txt_ini);
                finColor = Form1::BackColor(b.f.txt_fin);
                // A press while the scan runs must not start a second one.
                b.f.cmb_buscar->click();
                b.f.cmd_conexion->click();
            }
            ++seen;
            return false;
        };
        QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(2, kWait)));
        QCOMPARE(seen, 4);
        QCOMPARE(status, kSearching);
        QVERIFY(!panel1);
        QVERIFY(!panel2);
        QVERIFY(!panel3);
        QCOMPARE(iniColor, Form1::COLOR_OK);
        QCOMPARE(finColor, Form1::COLOR_OK);
        QVERIFY(b.f.link->MSComm1->PortOpen());
        QCOMPARE(int(b.f.DirActual), 2);
    }

    void invalidRangeSendsNothing_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("last");
        QTest::addColumn<bool>("spanish");
        QTest::newRow("first 0") << "0"
                                 << "127" << false;
        QTest::newRow("last 128") << "1"
                                  << "128" << false;
        QTest::newRow("first 128") << "128"
                                   << "127" << false;
        QTest::newRow("10 to 9") << "10"
                                 << "9" << false;
        QTest::newRow("negative first") << "-1"
                                        << "5" << false;
        QTest::newRow("negative last") << "5"
                                       << "-5" << false;
        QTest::newRow("empty first") << ""
                                     << "127" << false;
        QTest::newRow("empty last") << "1"
                                    << "" << false;
        QTest::newRow("blanks") << "  "
                                << "127" << false;
        QTest::newRow("letters first") << "abc"
                                       << "127" << false;
        QTest::newRow("letters last") << "1"
                                      << "xyz" << false;
        QTest::newRow("hex") << "0x1"
                             << "127" << false;
        QTest::newRow("one half") << "0.5"
                                  << "127" << false;
        QTest::newRow("point half") << ".5"
                                    << "127" << false;
        QTest::newRow("comma under English") << "1,5"
                                             << "127" << false;
        QTest::newRow("half above 127") << "1"
                                        << "127.5" << false;
        QTest::newRow("exponent out of 16 bits") << "1"
                                                 << "1e5" << false;
        QTest::newRow("exponent far out of 16 bits") << "9e9"
                                                     << "1" << false;
        QTest::newRow("beyond a double") << "1"
                                         << "1e999" << false;
        QTest::newRow("below a double") << "-1e999"
                                        << "1" << false;
        QTest::newRow("Spanish comma half") << "0,5"
                                            << "127" << true;
        QTest::newRow("Spanish point and comma") << "1.0,0"
                                                 << "127" << true;
    }
    void invalidRangeSendsNothing() {
        QFETCH(QString, first);
        QFETCH(QString, last);
        QFETCH(bool, spanish);
        Bench b(kWait);
        b.relay().addRelay(1);
        QVERIFY(connectForm(b.f));
        typeRange(b.f, first, last);
        if (spanish) QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
        const QStringList panelsBefore = panelSnapshot(b.f);

        QVERIFY(clickAndWait(b.f.cmb_buscar, 2000));
        QTest::qWait(3 * kWait);

        QCOMPARE(b.f.label->text(), kBadRange);
        QCOMPARE(Form1::BackColor(b.f.txt_ini), Form1::COLOR_BAD);
        QCOMPARE(Form1::BackColor(b.f.txt_fin), Form1::COLOR_BAD);
        QVERIFY(b.relay().received.isEmpty());
        QCOMPARE(b.f.lst->count(), 0);
        QCOMPARE(panelSnapshot(b.f), panelsBefore);
        QCOMPARE(int(b.f.DirActual), 0);
        QCOMPARE(b.f.txt_ini->text(), first);
        QCOMPARE(b.f.txt_fin->text(), last);
    }

    void badMarksLastUntilValidPress() {
        Bench b(kWait);
        b.relay().addRelay(1);
        QVERIFY(connectForm(b.f));

        b.f.chk_aut->click();
        QVERIFY(!b.f.chk_aut->isChecked());
        QVERIFY(ownEnabled(b.f.txt_ini));
        QVERIFY(ownEnabled(b.f.txt_fin));
        QCOMPARE(b.f.txt_ini->text(), QStringLiteral("1"));
        QCOMPARE(b.f.txt_fin->text(), QStringLiteral("127"));

        b.f.txt_ini->setText(QStringLiteral("0"));
        QVERIFY(clickAndWait(b.f.cmb_buscar, 2000));
        QCOMPARE(b.f.label->text(), kBadRange);

        // Back to automatic: the texts return, the marks stay.
        b.f.chk_aut->click();
        QVERIFY(b.f.chk_aut->isChecked());
        QCOMPARE(b.f.txt_ini->text(), QStringLiteral("1"));
        QCOMPARE(b.f.txt_fin->text(), QStringLiteral("127"));
        QVERIFY(!ownEnabled(b.f.txt_ini));
        QVERIFY(!ownEnabled(b.f.txt_fin));
        QCOMPARE(Form1::BackColor(b.f.txt_ini), Form1::COLOR_BAD);
        QCOMPARE(Form1::BackColor(b.f.txt_fin), Form1::COLOR_BAD);
        QVERIFY(b.relay().received.isEmpty());

        // Nor does leaving it again clear them.
        b.f.chk_aut->click();
        QCOMPARE(Form1::BackColor(b.f.txt_ini), Form1::COLOR_BAD);
        b.f.chk_aut->click();

        QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(1, kWait)));
        QCOMPARE(Form1::BackColor(b.f.txt_ini), Form1::COLOR_OK);
        QCOMPARE(Form1::BackColor(b.f.txt_fin), Form1::COLOR_OK);
        QCOMPARE(b.f.label->text(), foundStatus(1));
    }

    // ---- Step 3: address change ----

    void change_data() {
        QTest::addColumn<int>("relayAt");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("reply"); // echo, silent, exception, stale
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("fault"); // of the line, as in searchOutcome

        QTest::newRow("1 to 5, echoed")
            << 1 << "5"
            << "echo" << QByteArray::fromHex("010600030005B9C9") << QString();
        QTest::newRow("5 to 12, echoed") << 5 << "12"
                                         << "echo" << writeFrame(5, 12) << QString();
        QTest::newRow("3 to 127, echoed") << 3 << "127"
                                          << "echo" << writeFrame(3, 127) << QString();
        QTest::newRow("4 to its own address") << 4 << "4"
                                              << "echo" << writeFrame(4, 4) << QString();
        QTest::newRow("5 to 12, silent") << 5 << "12"
                                         << "silent" << writeFrame(5, 12) << QString();
        QTest::newRow("5 to 12, silent behind unasked bytes")
            << 5 << "12"
            << "stale" << writeFrame(5, 12) << QString();
        QTest::newRow("5 to 12, exception reply") << 5 << "12"
                                                  << "exception" << writeFrame(5, 12) << QString();
        QTest::newRow("5 to 12, echoed, adapter echoes")
            << 5 << "12"
            << "echo" << writeFrame(5, 12) << QStringLiteral("echo");
        QTest::newRow("5 to 12, silent, adapter echoes")
            << 5 << "12"
            << "silent" << writeFrame(5, 12) << QStringLiteral("echo");
    }

    void change() {
        QFETCH(int, relayAt);
        QFETCH(QString, entry);
        QFETCH(QString, reply);
        QFETCH(QByteArray, frame);
        QFETCH(QString, fault);

        Bench b(kWait);
        b.relay().addRelay(relayAt);
        plantFaults(b.relay(), fault);
        QVERIFY(connectForm(b.f));
        QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(relayAt, kWait)));
        QCOMPARE(int(b.f.DirActual), relayAt);
        const int logBefore = b.f.lst->count();
        const qsizetype requestsBefore = b.relay().requests.size();

        if (reply == QLatin1String("silent") || reply == QLatin1String("stale"))
            b.relay().silent = true;
        // Bytes nobody asked for, in before the write: not its reply.
        if (reply == QLatin1String("stale")) {
            b.relay().send(QByteArray::fromHex("03030200038185"));
            QTRY_VERIFY(b.f.link->RxLen > 0);
        }
        if (reply == QLatin1String("exception")) {
            b.relay().script = [&](const QByteArray& req, int) {
                if (req.at(1) != 6) return false;
                b.relay().send(ScriptedRelay::exceptionReply(relayAt, 6, 4));
                return true;
            };
        }
        b.f.cmb_dir->setCurrentText(entry);
        QVERIFY(clickAndWait(b.f.cmd_cambiar, scanBudget(1, kWait)));

        const bool accepted = reply == QLatin1String("echo");
        const QList<QByteArray> writes = requestFrames(b.relay()).mid(requestsBefore);
        QCOMPARE(writes, QList<QByteArray>(accepted ? 1 : 3, frame));

        const QStringList newLines = logLines(b.f).mid(logBefore);
        if (accepted) {
            QCOMPARE(b.f.label->text(), changedStatus(entry));
            QCOMPARE(newLines, (QStringList{startLine(relayAt), kCorrect,
                                            QStringLiteral("DIRECCIÓN NUEVA:") + entry}));
            QCOMPARE(b.relay().addresses(), QList<int>{entry.toInt()});
        } else {
            QCOMPARE(b.f.label->text(), kChangeFailed);
            QStringList expected{startLine(relayAt), kNoReply};
            if (reply == QLatin1String("exception"))
                expected << QStringLiteral("EXCEPCIÓN MODBUS 4 DE LA DIRECCIÓN <%1>: NO ES UN "
                                           "RELÉ ORVANT O RECHAZA EL REGISTRO 3")
                                .arg(relayAt);
            QCOMPARE(newLines, expected << QStringLiteral("DIRECCIÓN ACTUAL%1").arg(relayAt));
            QCOMPARE(b.relay().addresses(), QList<int>{relayAt});
        }
        QCOMPARE(b.f.lst->currentRow(), b.f.lst->count() - 1);

        // Back in step 2 either way, port still open.
        verifyReadyToSearch(b.f);
        if (QTest::currentTestFailed()) return;
        QVERIFY(ownEnabled(b.f.cmd_cambiar));
        QVERIFY(ownEnabled(b.f.cmb_buscar));
        QVERIFY(b.f.cmb_buscar->isEnabled());
        QCOMPARE(b.f.cmb_dir->currentText(), QStringLiteral("1"));
        QCOMPARE(b.f.cmb_dir->currentIndex(), 0);
        QCOMPARE(int(b.f.DirActual), 1);
        for (int i = 0; i < 21; ++i) {
            QCOMPARE(int(b.f.link->TxBuf[i]), 0);
            QCOMPARE(int(b.f.link->RxBuf[i]), 0);
        }
        QCOMPARE(b.f.label->text(), accepted ? changedStatus(entry) : kChangeFailed);

        // The next relay can be searched for at once.
        b.relay().silent = false;
        b.relay().script = nullptr;
        b.relay().clearRelays();
        b.relay().addRelay(2);
        QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(2, kWait)));
        QCOMPARE(b.f.label->text(), foundStatus(2));
    }

    void entryPickedWhileWriteWaits() {
        Bench b(kWait);
        b.relay().addRelay(5);
        QVERIFY(connectForm(b.f));
        QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(5, kWait)));
        QCOMPARE(int(b.f.DirActual), 5);

        bool clickedAgain = false;
        b.relay().script = [&](const QByteArray& req, int) {
            if (req.at(1) != 6 || clickedAgain) return false;
            clickedAgain = true;
            b.f.cmb_dir->setCurrentText(QStringLiteral("20"));
            // The second click of a double click lands while the write waits.
            QTimer::singleShot(0, &b.f,
                               [&] { QTest::mouseClick(b.f.cmd_cambiar, Qt::LeftButton); });
            return false;
        };
        b.f.cmb_dir->setCurrentText(QStringLiteral("12"));
        QVERIFY(clickAndWait(b.f.cmd_cambiar, scanBudget(2, kWait)));

        QCOMPARE(requestFrames(b.relay()).last(), writeFrame(5, 12));
        QCOMPARE(requestFrames(b.relay()).count(writeFrame(5, 12)), 1);
        QCOMPARE(b.relay().addresses(), QList<int>{12});
        // The texts tell the address the relay really got, not the later pick.
        QCOMPARE(b.f.label->text(), changedStatus(QStringLiteral("12")));
        QCOMPARE(logLines(b.f).last(), QStringLiteral("DIRECCIÓN NUEVA:12"));
        QCOMPARE(b.f.cmb_dir->currentText(), QStringLiteral("1"));
    }

    // ---- The line goes away ----

    void portLostDuringScan() {
        Bench b(kWait);
        QVERIFY(connectForm(b.f));
        QList<int> polled;
        b.relay().script = [&](const QByteArray& req, int) {
            const int address = static_cast<quint8>(req.at(0));
            polled << address;
            if (address == 3) QTimer::singleShot(0, this, [&] { b.line.cut(); });
            return false;
        };
        QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(127, kWait)));

        QCOMPARE(polled, (QList<int>{1, 1, 1, 2, 2, 2, 3}));
        // The scan ends at the address it was on.
        QCOMPARE(loggedAddresses(b.f), (QList<int>{1, 2, 3}));
        QVERIFY(!logLines(b.f).join('\n').contains(QStringLiteral("DETECTADO")));
        QCOMPARE(b.f.label->text(), kPortLost);
        verifyDisconnected(b.f);
        if (QTest::currentTestFailed()) return;
        QVERIFY(b.f.link->portLost());
        QCOMPARE(int(b.f.DirActual), 0);
    }

    void portLostWhileIdle_data() {
        QTest::addColumn<bool>("afterSearch");
        QTest::newRow("step 2, just connected") << false;
        QTest::newRow("step 3, relay found") << true;
    }
    void portLostWhileIdle() {
        QFETCH(bool, afterSearch);
        Bench b(kWait);
        b.relay().addRelay(5);
        QVERIFY(connectForm(b.f));
        if (afterSearch) {
            QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(5, kWait)));
            QCOMPARE(b.f.label->text(), foundStatus(5));
        }
        const int logBefore = b.f.lst->count();

        b.line.cut();
        QVERIFY(QTest::qWaitFor([&] { return b.f.label->text() == kPortLost; }, 3000));
        verifyDisconnected(b.f);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(b.f.lst->count(), logBefore);

        // Another adapter, another port: the road starts over.
        Line other(2);
        other.relay->addRelay(4);
        QVERIFY(connectForm(b.f, 2));
        QVERIFY(b.f.label->text().startsWith(QStringLiteral("PUERTO <COM2> DETECTADO.")));
        verifyReadyToSearch(b.f);
        if (QTest::currentTestFailed()) return;
        QVERIFY(!b.f.link->portLost());
        QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(4, kWait)));
        QCOMPARE(b.f.label->text(), foundStatus(4));
        QCOMPARE(int(b.f.DirActual), 4);
    }

    void portLostDuringChange() {
        Bench b(kWait);
        b.relay().addRelay(5);
        QVERIFY(connectForm(b.f));
        QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(5, kWait)));
        const int logBefore = b.f.lst->count();

        bool clickedAgain = false;
        b.relay().script = [&](const QByteArray& req, int) {
            if (req.at(1) != 6 || clickedAgain) return false;
            clickedAgain = true;
            QTimer::singleShot(0, this, [&] { b.line.cut(); });
            return true; // the reply never comes
        };
        b.f.cmb_dir->setCurrentText(QStringLiteral("12"));
        QVERIFY(clickAndWait(b.f.cmd_cambiar, scanBudget(1, kWait)));

        QCOMPARE(logLines(b.f).mid(logBefore),
                 (QStringList{startLine(5), kNoReply, QStringLiteral("DIRECCIÓN ACTUAL5")}));
        QCOMPARE(b.f.label->text(), kPortLost);
        verifyDisconnected(b.f);
    }

    // ---- Esc mid-step: stops a search, never a write ----

    void escapeMidStep_data() {
        QTest::addColumn<int>("relayAt"); // 0: nothing attached
        QTest::addColumn<bool>("duringChange");
        QTest::addColumn<int>("escAt"); // pressed while this frame of the row waits
        QTest::addColumn<QList<QByteArray>>("frames");
        QTest::addColumn<QStringList>("logTail");
        QTest::newRow("search, between attempts")
            << 0 << false << 4
            << QList<QByteArray>{readFrame(1), readFrame(1), readFrame(1), readFrame(2),
                                 readFrame(2)}
            << QStringList{startLine(2), kNoReply,
                           QStringLiteral("BÚSQUEDA DETENIDA EN LA DIRECCIÓN <2>")};
        QTest::newRow("search, reply already in")
            << 2 << false << 3
            << QList<QByteArray>{readFrame(1), readFrame(1), readFrame(1), readFrame(2)}
            << QStringList{startLine(2), kCorrect, QStringLiteral("DETECTADO DIRECCIÓN <2>.")};
        QTest::newRow("write, no effect")
            << 2 << true << 0
            << QList<QByteArray>{writeFrame(2, 9), writeFrame(2, 9), writeFrame(2, 9)}
            << QStringList{startLine(2), kNoReply, QStringLiteral("DIRECCIÓN ACTUAL2")};
    }
    void escapeMidStep() {
        QFETCH(int, relayAt);
        QFETCH(bool, duringChange);
        QFETCH(int, escAt);
        QFETCH(QList<QByteArray>, frames);
        QFETCH(QStringList, logTail);
        Bench b(kWait);
        b.f.show();
        b.f.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&b.f));
        QVERIFY(connectForm(b.f));
        if (relayAt) b.relay().addRelay(relayAt);
        QAbstractButton* button = b.f.cmb_buscar;
        if (duringChange) {
            QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(relayAt, kWait)));
            b.relay().silent = true;
            b.f.cmb_dir->setCurrentText(QStringLiteral("9"));
            button = b.f.cmd_cambiar;
        }
        const qsizetype before = b.relay().requests.size();
        const auto pressEsc = [&] {
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget()
                                                        : static_cast<QWidget*>(&b.f),
                            Qt::Key_Escape);
        };
        // For a relay that answers, Esc comes once its reply is in.
        b.relay().script = [&](const QByteArray&, int index) {
            if (index != before + escAt) return false;
            if (relayAt && !duringChange)
                connect(
                    b.f.link->MSComm1, &MSComm::OnComm, this,
                    [&] { QTimer::singleShot(0, this, pressEsc); }, Qt::SingleShotConnection);
            else
                QTimer::singleShot(0, this, pressEsc);
            return false;
        };
        QVERIFY(clickAndWait(button, scanBudget(127, kWait)));
        QTest::qWait(4 * kWait); // nothing more goes out
        QCOMPARE(requestFrames(b.relay()).mid(before), frames);
        QCOMPARE(logLines(b.f).mid(b.f.lst->count() - logTail.size()), logTail);
        QVERIFY(b.f.link->MSComm1->PortOpen());
        if (duringChange) {
            QCOMPARE(b.f.label->text(), kChangeFailed);
            verifyReadyToSearch(b.f);
        } else if (relayAt) {
            QCOMPARE(b.f.label->text(), foundStatus(relayAt));
            verifyAddressKnown(b.f);
            // The stop went with its search: the write goes out and takes.
            b.relay().script = nullptr;
            b.f.cmb_dir->setCurrentText(QStringLiteral("9"));
            QVERIFY(clickAndWait(b.f.cmd_cambiar, scanBudget(1, kWait)));
            QCOMPARE(requestFrames(b.relay()).mid(before + frames.size()),
                     QList<QByteArray>{writeFrame(relayAt, 9)});
            QCOMPARE(b.f.label->text(), changedStatus(QStringLiteral("9")));
        } else {
            QCOMPARE(b.f.label->text(), QStringLiteral("BÚSQUEDA DETENIDA EN LA DIRECCIÓN <2>. "
                                                       "PRESIONE <BUSCAR> PARA BUSCAR DE NUEVO"));
            verifyReadyToSearch(b.f);
            // Esc outside a search does nothing; the next search runs whole.
            pressEsc();
            b.relay().script = nullptr;
            b.relay().addRelay(1);
            QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(1, kWait)));
            QCOMPARE(b.f.label->text(), foundStatus(1));
        }
    }

    // ---- The window closes mid-step ----

    void windowClosedMidStep_data() {
        QTest::addColumn<bool>("duringChange");
        QTest::newRow("during a search") << false;
        QTest::newRow("during a change") << true;
    }
    void windowClosedMidStep() {
        QFETCH(bool, duringChange);
        Bench b(kWait);
        b.f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&b.f));
        QVERIFY(connectForm(b.f));
        QAbstractButton* button = b.f.cmb_buscar;
        if (duringChange) {
            b.relay().addRelay(2);
            QVERIFY(clickAndWait(b.f.cmb_buscar, scanBudget(2, kWait)));
            QCOMPARE(int(b.f.DirActual), 2);
            b.relay().silent = true;
            b.f.cmb_dir->setCurrentText(QStringLiteral("9"));
            button = b.f.cmd_cambiar;
        }
        const qsizetype requestsBefore = b.relay().requests.size();

        // Close while a transaction waits for its reply: the search at its
        // third address, the change at its second attempt.
        QElapsedTimer sinceClose;
        qsizetype requestsAtClose = -1;
        b.relay().script = [&](const QByteArray&, int index) {
            if (index == requestsBefore + (duringChange ? 1 : 6))
                QTimer::singleShot(0, this, [&] {
                    requestsAtClose = b.relay().requests.size();
                    sinceClose.start();
                    b.f.close();
                });
            return false;
        };
        bool returned = false;
        qint64 returnedAfterClose = -1;
        QTimer::singleShot(0, this, [&] {
            button->click();
            returned = true;
            returnedAfterClose = sinceClose.isValid() ? sinceClose.elapsed() : -1;
        });
        // Never hang the suite when the program does not quit by itself.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, this, [] { QCoreApplication::exit(99); });
        guard.start(scanBudget(127, kWait));
        const int code = QApplication::exec();
        const qint64 quitAfterClose = sinceClose.isValid() ? sinceClose.elapsed() : -1;
        guard.stop();

        QVERIFY(requestsAtClose >= 0);
        QVERIFY(returned);
        QVERIFY(b.f.link->closing());
        QCOMPARE(code, 0); // the last window closed, so the program ended
        QVERIFY2(returnedAfterClose >= 0 && returnedAfterClose < 1000,
                 qPrintable(QString::number(returnedAfterClose)));
        QVERIFY2(quitAfterClose < 1000, qPrintable(QString::number(quitAfterClose)));
        QVERIFY(!b.f.link->MSComm1->PortOpen());

        // The loop stopped: no address after the one it was on, not even
        // one that would only be logged.
        QCOMPARE(loggedAddresses(b.f),
                 duringChange ? (QList<int>{1, 2, 2}) : (QList<int>{1, 2, 3}));
        // Nothing more goes out on the line.
        QTest::qWait(5 * kWait);
        QCOMPARE(b.relay().requests.size(), requestsAtClose);
    }

private:
    QLocale m_locale;
};

int main(int argc, char* argv[]) {
    // Started by the test itself to press "Conectar" on COM4 as the user nobody.
    const bool asNobody = argc == 2 && qstrcmp(argv[1], "--connect-as-nobody") == 0;
    if (asNobody && !becomeNobody()) return 2;
    if (asNobody) qputenv("QT_QPA_PLATFORM", "offscreen"); // nobody may not reach a display
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    if (asNobody) {
        Form1 f(kWait);
        connectForm(f, 4);
        QTextStream(stdout) << f.label->text() << '\n'
                            << f.label->toolTip() << '\n'
                            << "cmb_com " << (ownEnabled(f.cmb_com) ? "enabled" : "disabled");
        return 0;
    }
    TestWorkflow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_workflow.moc"
