// The window as the user first sees it: its frame, icon and place on the
// screen, every control in its place with its texts, fonts, colours, lists
// and states, and what the window does when it is closed.
#include "link/comport.h"
#include "link/intervaltimer.h"
#include "ui/closeonsignal.h"
#include "windowfixture.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QImage>
#include <QMenuBar>
#include <QRegion>
#include <QScreen>
#include <QSerialPort>
#include <QStyle>
#include <QStyleOption>
#include <QTemporaryDir>
#include <csignal>

namespace {

// The window's geometry is laid out in twips, 15 to a pixel.
QRect fromTwips(int left, int top, int width, int height) {
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QString shownText(const QWidget* w) {
    if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
    if (auto* e = qobject_cast<const QLineEdit*>(w)) return e->text();
    if (auto* c = qobject_cast<const QComboBox*>(w)) return c->currentText();
    return QString();
}

// Share of the widget's own background (the parts no child control covers)
// shown exactly in the colour.
double paintedShare(QWidget* w, const QColor& colour) {
    // Taken from the window, so that a control that paints no background of
    // its own shows what lies behind it, as on screen.
    QWidget* top = w->window();
    const QImage image = settledOnScreen(top, QRect(w->mapTo(top, QPoint(0, 0)), w->size()));
    QRegion own(w->rect());
    for (QWidget* child : w->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (child->isVisible()) own -= child->geometry();
    qint64 hits = 0, total = 0;
    for (const QRect& r : own) {
        for (int y = r.top(); y <= r.bottom(); ++y) {
            for (int x = r.left(); x <= r.right(); ++x) {
                ++total;
                if ((image.pixel(x, y) & 0xFFFFFF) == (colour.rgb() & 0xFFFFFF)) ++hits;
            }
        }
    }
    return total ? double(hits) / total : 0.0;
}

// Every status text the window can show, with the longest numbers filled in.
QList<QPair<const char*, QString>> statusTexts() {
    return {
        {"first instruction", "CONECTE LA INTERFAZ USB O RS232 Y SELECCIONE EL PUERTO COM"},
        {"after disconnect",
         "CONECTE LA RED A TRAVÉS DE LA INTERFAZ USB O RS232 Y SELECCIONE EL PUERTO COM"},
        {"port opened, COM20",
         "PUERTO <COM20> DETECTADO. CONECTE UN SOLO RELÉ ORVANT A LA RED Y PRESIONE <BUSCAR> "
         "PARA IDENTIFICARLO"},
        {"port not available",
         "ERROR: EL PUERTO COM SELECCIONADO NO ESTÁ DISPONIBLE. SELECCIONE OTRO"},
        {"bad range", "RANGO DE BÚSQUEDA INCORRECTO. REVISE E INTENTE DE NUEVO."},
        {"searching", "BUSCANDO RELÉ ORVANT..."},
        {"nothing found",
         "NO SE PUEDE ENCONTRAR NINGÚN DISPOSISTIVO CONECTADO. REVISE EL RANGO DE BÚSQUEDA Y "
         "VUELVA A INTENTARLO."},
        {"found 127",
         "SE HA DETECTADO UN ORVANT CON DIRECCIÓN <127>. SELECCIONE LA NUEVA DIRECCIÓN Y PRESIONE "
         "<CAMBIAR>"},
        {"change failed", "NO FUÉ POSIBLE REPROGRAMAR EL ORVANT. POR FAVOR REPITA EL PROCESO"},
        {"changed to 127",
         "SU RELÉ ORVANT HA SIDO RECONFIGURADO CON LA DIRECCIÓN <127>.CONECTE OTRO RELÉ ORVANT Y "
         "REPITA EL PROCESO"},
        {"port lost", "ERROR: SE PERDIÓ LA COMUNICACIÓN CON EL PUERTO COM. REVISE LA INTERFAZ Y "
                      "PRESIONE <CONECTAR>"},
        {"no permission, ttyUSB10", "ERROR: SIN PERMISO PARA ABRIR ttyUSB10. AGREGUE SU USUARIO AL "
                                    "GRUPO dialout Y VUELVA A INICIAR SESIÓN"},
        {"no permission, ttyACM10", "ERROR: SIN PERMISO PARA ABRIR ttyACM10. AGREGUE SU USUARIO AL "
                                    "GRUPO dialout Y VUELVA A INICIAR SESIÓN"},
        {"in use, ttyUSB10", "ERROR: ttyUSB10 ESTÁ EN USO POR OTRO PROGRAMA. CIÉRRELO E INTENTE DE "
                             "NUEVO"},
        {"in use, ttyACM10", "ERROR: ttyACM10 ESTÁ EN USO POR OTRO PROGRAMA. CIÉRRELO E INTENTE DE "
                             "NUEVO"},
    };
}

} // namespace

class TestWindowLayout : public QObject, private WindowFixture {
    Q_OBJECT

private slots:
    void init() { WindowFixture::init(); }
    void cleanup() { WindowFixture::cleanup(); }

    // Name, container, place, text and font of every visible control.
    void controls_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("fontPixels");
        QTest::addColumn<bool>("bold");

        auto row = [](const char* name, const char* kind, const char* container, QRect g,
                      const QString& text, int px, bool bold = false) {
            QTest::newRow(name) << QString::fromLatin1(kind) << QString::fromLatin1(container) << g
                                << text << px << bold;
        };
        row("Frame1", "QGroupBox", "Form1", fromTwips(120, 0, 6615, 3735), "", 13);
        row("label", "QLabel", "Frame1", fromTwips(120, 240, 6375, 615),
            "CONECTE LA INTERFAZ USB O RS232 Y SELECCIONE EL PUERTO COM", 11, true);
        row("frm_com", "QGroupBox", "Frame1", fromTwips(120, 840, 3135, 855),
            "Comunicación Puerto COM", 11);
        row("cmb_com", "QComboBox", "frm_com", fromTwips(240, 360, 1095, 315), "COM1", 11);
        row("cmd_conexion", "QPushButton", "frm_com", fromTwips(1440, 360, 1410, 330), "Conectar",
            11);
        row("frm_det", "QGroupBox", "Frame1", fromTwips(120, 1680, 3135, 1215),
            "Detección de Dirección del Dispositivo", 11);
        row("txt_ini", "QLineEdit", "frm_det", fromTwips(600, 240, 450, 375), "1", 13);
        row("lbl_ini", "QLabel", "frm_det", fromTwips(120, 360, 615, 255), "Inicio:", 11);
        row("chk_aut", "QCheckBox", "frm_det", fromTwips(1200, 240, 255, 375), "chk_aut", 13);
        row("lbl_rango", "QLabel", "frm_det", fromTwips(1440, 360, 1335, 255), "Rango Automático",
            11);
        row("txt_fin", "QLineEdit", "frm_det", fromTwips(600, 720, 450, 375), "127", 13);
        row("lbl_fin", "QLabel", "frm_det", fromTwips(120, 840, 375, 255), "Fin:", 11);
        row("cmb_buscar", "QPushButton", "frm_det", fromTwips(1440, 720, 1410, 330), "Buscar", 11);
        row("frm_dir", "QGroupBox", "Frame1", fromTwips(120, 2880, 3135, 735),
            "Cambio de Dirección", 11);
        row("cmb_dir", "QComboBox", "frm_dir", fromTwips(240, 240, 1095, 315), "1", 11);
        row("cmd_cambiar", "QPushButton", "frm_dir", fromTwips(1440, 240, 1410, 330), "Cambiar",
            11);
        row("lst", "LogList", "Form1", fromTwips(3480, 960, 3135, 2595), "", 11);
    }
    void controls() {
        QFETCH(QString, kind);
        QFETCH(QString, container);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(int, fontPixels);
        QFETCH(bool, bold);

        const QString name = QString::fromLatin1(QTest::currentDataTag());
        const auto found = form->findChildren<QWidget*>(name);
        QCOMPARE(found.size(), 1);
        QWidget* w = found.first();
        QVERIFY2(w->inherits(kind.toLatin1().constData()), w->metaObject()->className());
        QVERIFY(w->parentWidget());
        QCOMPARE(w->parentWidget()->objectName(), container);
        QCOMPARE(w->geometry(), geometry);
        QVERIFY(w->isVisible());
        QCOMPARE(shownText(w), text);
        QCOMPARE(w->font().pixelSize(), fontPixels);
        QCOMPARE(w->font().bold(), bold);
        QVERIFY(!w->font().italic());
        // One face throughout, standing in for MS Sans Serif.
        QCOMPARE(w->font().family(), form->font().family());
    }

    // The members of Form1 point at the very controls the names find.
    void fieldsNameTheirControls() {
        const QList<QPair<QString, QWidget*>> fields = {{"Frame1", form->Frame1},
                                                        {"label", form->label},
                                                        {"frm_com", form->frm_com},
                                                        {"cmb_com", form->cmb_com},
                                                        {"cmd_conexion", form->cmd_conexion},
                                                        {"frm_det", form->frm_det},
                                                        {"txt_ini", form->txt_ini},
                                                        {"lbl_ini", form->lbl_ini},
                                                        {"chk_aut", form->chk_aut},
                                                        {"lbl_rango", form->lbl_rango},
                                                        {"txt_fin", form->txt_fin},
                                                        {"lbl_fin", form->lbl_fin},
                                                        {"cmb_buscar", form->cmb_buscar},
                                                        {"frm_dir", form->frm_dir},
                                                        {"cmb_dir", form->cmb_dir},
                                                        {"cmd_cambiar", form->cmd_cambiar},
                                                        {"lst", form->lst}};
        for (const auto& [name, w] : fields) QCOMPARE(control(name), w);
        QCOMPARE(form->objectName(), QStringLiteral("Form1"));
        QCOMPARE(form->findChild<IntervalTimer*>(QStringLiteral("Timer1")), form->link->Timer1);
        QCOMPARE(form->findChild<MSComm*>(QStringLiteral("MSComm1")), form->link->MSComm1);
    }

    void windowFrame() {
        QCOMPARE(form->windowTitle(),
                 QStringLiteral("CONFIGURACION DIRECCION PARA DISPOSITIVOS ORVANT"));
        QCOMPARE(form->size(), QSize(457, 257));
        QCOMPARE(form->minimumSize(), QSize(457, 257));
        QCOMPARE(form->maximumSize(), QSize(457, 257));

        const Qt::WindowFlags flags = form->windowFlags();
        QVERIFY(flags & Qt::WindowTitleHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(form->isWindow());

        QCOMPARE(form->font().pixelSize(), 13);
        QVERIFY(!form->font().bold());
        QCOMPARE(Form1::BackColor(form.get()), Form1::COLOR_IDLE());
        QVERIFY(form->findChildren<QMenuBar*>().isEmpty());
    }

    // The picture itself must be there, not only a name for it.
    void windowIcon() {
        const QIcon icon = form->windowIcon();
        QVERIFY(!icon.isNull());
        QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
        QCOMPARE(icon.pixmap(QSize(32, 32)).size(), QSize(32, 32));
    }

    // The whole window, frame included, sits in the middle of its screen.
    void windowCentred() {
        const QPoint screenCentre = form->screen()->availableGeometry().center();
        QPoint centre;
        // A window manager frames and moves the window after it is shown.
        const auto centred = [&] {
            centre = form->frameGeometry().center();
            return qAbs(centre.x() - screenCentre.x()) <= 1 &&
                   qAbs(centre.y() - screenCentre.y()) <= 1;
        };
        QVERIFY2(QTest::qWaitFor(centred, 2000),
                 qPrintable(QStringLiteral("window centre %1,%2; screen centre %3,%4")
                                .arg(centre.x())
                                .arg(centre.y())
                                .arg(screenCentre.x())
                                .arg(screenCentre.y())));
    }

    void colourValues() {
        QCOMPARE(Form1::COLOR_ACTIVE, QColor(255, 255, 128));
        QCOMPARE(Form1::COLOR_BAD, QColor(255, 192, 192));
        QCOMPARE(Form1::COLOR_OK, QColor(255, 255, 255));
        QCOMPARE(Form1::COLOR_IDLE(), QApplication::palette().color(QPalette::Button));
    }

    // Start-up colours: exactly panel 1 highlighted, everything else idle.
    void startUpColours_data() {
        QTest::addColumn<QString>("expected");
        for (const char* name : {"Form1", "Frame1", "label", "frm_det", "lbl_ini", "chk_aut",
                                 "lbl_rango", "lbl_fin", "frm_dir"})
            QTest::newRow(name) << "idle";
        QTest::newRow("frm_com") << "active";
        QTest::newRow("txt_ini") << "window";
        QTest::newRow("txt_fin") << "window";
    }
    void startUpColours() {
        QFETCH(QString, expected);
        QWidget* w = control(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(w);
        // A text box keeps the system window colour while disabled; only its
        // text greys.
        const QColor want = expected == QLatin1String("idle") ? Form1::COLOR_IDLE()
                            : expected == QLatin1String("active")
                                ? Form1::COLOR_ACTIVE
                                : QApplication::palette().color(QPalette::Active, QPalette::Base);
        QCOMPARE(Form1::BackColor(w), want);
        if (expected == QLatin1String("window")) {
            QVERIFY(!w->isEnabled());
            QTRY_COMPARE(QColor(grabbed(w, w->rect()).pixel(w->width() - 5, w->height() / 2)),
                         want);
        }
    }

    void exactlyPanelOneActive() {
        int active = 0;
        for (QWidget* panel :
             {static_cast<QWidget*>(form->frm_com), static_cast<QWidget*>(form->frm_det),
              static_cast<QWidget*>(form->frm_dir)})
            if (Form1::BackColor(panel) == Form1::COLOR_ACTIVE) ++active;
        QCOMPARE(active, 1);
        QCOMPARE(Form1::BackColor(form->frm_com), Form1::COLOR_ACTIVE);
        // The highlight is painted, not only recorded.
        QTRY_VERIFY(paintedShare(form->frm_com, Form1::COLOR_ACTIVE) > 0.25);
        QCOMPARE(paintedShare(form->frm_det, Form1::COLOR_ACTIVE), 0.0);
        QCOMPARE(paintedShare(form->frm_dir, Form1::COLOR_ACTIVE), 0.0);
    }

    // A colour given to a panel member shows on screen, disabled or not.
    void memberColourIsPainted_data() {
        QTest::addColumn<QString>("name");
        for (const char* name : {"frm_com", "frm_det", "lbl_ini", "lbl_fin", "lbl_rango", "chk_aut",
                                 "frm_dir", "label"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void memberColourIsPainted() {
        QFETCH(QString, name);
        QWidget* w = control(name);
        QVERIFY(w);
        Form1::setBackColor(w, Form1::COLOR_ACTIVE);
        QCOMPARE(Form1::BackColor(w), Form1::COLOR_ACTIVE);
        double share = 0;
        QTRY_VERIFY2((share = paintedShare(w, Form1::COLOR_ACTIVE)) > 0.25,
                     qPrintable(QString::number(share)));
    }

    // Own enabled flag and whether the user can reach the control now.
    void enabledStates_data() {
        QTest::addColumn<bool>("ownFlag");
        QTest::addColumn<bool>("usable");
        auto row = [](const char* name, bool own, bool usable) {
            QTest::newRow(name) << own << usable;
        };
        row("Frame1", true, true);
        row("label", true, true);
        row("frm_com", true, true);
        row("cmb_com", true, true);
        row("cmd_conexion", true, true);
        row("frm_det", false, false);
        row("txt_ini", false, false);
        row("lbl_ini", true, false);
        row("chk_aut", true, false);
        row("lbl_rango", true, false);
        row("txt_fin", false, false);
        row("lbl_fin", true, false);
        row("cmb_buscar", true, false);
        row("frm_dir", false, false);
        row("cmb_dir", true, false);
        row("cmd_cambiar", true, false);
        row("lst", true, true);
    }
    void enabledStates() {
        QFETCH(bool, ownFlag);
        QFETCH(bool, usable);
        QWidget* w = control(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(w);
        QCOMPARE(w->isEnabledTo(w->parentWidget()), ownFlag);
        QCOMPARE(w->isEnabled(), usable);
    }

    void dropDownLists_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("selected");
        QTest::newRow("cmb_com") << "cmb_com"
                                 << "COM%1" << 20 << "COM1";
        QTest::newRow("cmb_dir") << "cmb_dir"
                                 << "%1" << 127 << "1";
    }
    void dropDownLists() {
        QFETCH(QString, name);
        QFETCH(QString, pattern);
        QFETCH(int, count);
        QFETCH(QString, selected);
        auto* box = qobject_cast<QComboBox*>(control(name));
        QVERIFY(box);
        QCOMPARE(box->count(), count);
        for (int i = 0; i < count; ++i) QCOMPARE(box->itemText(i), pattern.arg(i + 1));
        QVERIFY(!box->isEditable());
        QCOMPARE(box->currentIndex(), 0);
        QCOMPARE(box->currentText(), selected);
        // Picking by text finds the exact entry: "12" is not "1" or "120".
        box->setCurrentText(pattern.arg(12));
        QCOMPARE(box->currentIndex(), 11);
        // Nothing outside the list can be chosen.
        box->setCurrentText(pattern.arg(count + 1));
        QCOMPARE(box->currentIndex(), 11);
        QCOMPARE(box->currentText(), pattern.arg(12));

        // It drops down eight rows high, with the chosen entry in view.
        box->setEnabled(true);
        box->window()->setEnabled(true);
        box->setCurrentIndex(count - 5);
        box->showPopup();
        QAbstractItemView* view = box->view();
        QVERIFY(QTest::qWaitForWindowExposed(view->window()));
        const int rowHeight = view->visualRect(view->model()->index(0, 0)).height();
        QCOMPARE(view->viewport()->height() / rowHeight, qMin(count, 8));
        QVERIFY(view->viewport()->rect().contains(view->visualRect(view->currentIndex())));
        box->hidePopup();
    }

    // Opening the COM list names each entry's device as it is now.
    void comEntryToolTips() {
        const int n = int(QSerialPortInfo::availablePorts().size()) + 1;
        if (n > 20) QSKIP("this system has more than 19 serial ports");
        auto toolTip = [&] { return form->cmb_com->itemData(n - 1, Qt::ToolTipRole).toString(); };
        form->cmb_com->showPopup();
        QCOMPARE(toolTip(), QStringLiteral("SIN DISPOSITIVO"));
        form->cmb_com->hidePopup();
        Line plugged(n);
        QTemporaryDir byId;
        const QString name = byId.filePath(QStringLiteral("usb-FTDI_FT232R_A1-if00-port0"));
        QVERIFY(QFile::link(plugged.pty.slavePath(), name));
        form->cmb_com->showPopup();
        QVERIFY2(toolTip().startsWith(plugged.pty.slavePath()), qPrintable(toolTip()));
        QCOMPARE(form->cmb_com->itemText(n - 1), QStringLiteral("COM%1").arg(n));
        QCOMPARE(comport::describe(plugged.pty.slavePath(), {}, byId.path()),
                 plugged.pty.slavePath() + '\n' + name);
    }

    void rangeStartsAutomatic() {
        QVERIFY(form->chk_aut->isChecked());
        QVERIFY(!form->chk_aut->isTristate());
        QCOMPARE(form->txt_ini->text(), QStringLiteral("1"));
        QCOMPARE(form->txt_fin->text(), QStringLiteral("127"));
        QVERIFY(!form->txt_ini->isEnabledTo(form->frm_det));
        QVERIFY(!form->txt_fin->isEnabledTo(form->frm_det));
    }

    void timerIdle() {
        QCOMPARE(form->link->Timer1->parent(), form->link);
        QCOMPARE(form->link->parent(), form.get());
        QVERIFY(form->link->Timer1->Enabled());
        QCOMPARE(form->link->Timer1->Interval(), 0);
        QVERIFY(!form->link->Timer1->isRunning());
    }

    void linkStateCleared() {
        QCOMPARE(form->link->RxLen, int16_t(0));
        QCOMPARE(form->link->RxFlag, int16_t(0));
        QVERIFY(form->link->TimeOutFlag.isValid());
        QCOMPARE(form->link->TimeOutFlag.metaType(), QMetaType::fromType<int16_t>());
        QCOMPARE(form->link->TimeOutFlag.value<int16_t>(), int16_t(0));
        for (uint8_t b : form->link->TxBuf) QCOMPARE(int(b), 0);
        for (uint8_t b : form->link->RxBuf) QCOMPARE(int(b), 0);
        QCOMPARE(form->link->CrcValue, 0);
        QCOMPARE(int(form->DirActual), 0);
        QVERIFY(!form->link->MSComm1->PortOpen());
        QCOMPARE(form->link->MSComm1->CommPort(), int16_t(1));
        QCOMPARE(form->link->MSComm1->Settings(), QStringLiteral("9600,N,8,1"));
    }

    // What lies in front where controls overlap.
    void stacking() {
        const QPoint inList = form->lst->geometry().center();
        QWidget* top = form->childAt(inList);
        QVERIFY(top == form->lst || form->lst->isAncestorOf(top));
        QVERIFY(form->Frame1->geometry().contains(inList));

        const QRect overlap = form->txt_ini->geometry() & form->lbl_ini->geometry();
        QVERIFY(!overlap.isEmpty());
        top = form->frm_det->childAt(overlap.center());
        QVERIFY(top == form->txt_ini || form->txt_ini->isAncestorOf(top));
    }

    void statusLabelLook() {
        QVERIFY(form->label->wordWrap());
        QCOMPARE(form->label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
        QCOMPARE(form->lbl_ini->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
        QCOMPARE(form->lbl_rango->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
        QCOMPARE(form->lbl_fin->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
        const QColor darkRed(192, 0, 0);
        for (const auto& [tag, text] : statusTexts()) {
            form->label->setText(text);
            QCOMPARE(form->label->text(), text);
            QVERIFY(form->label->font().bold());
            QCOMPARE(form->label->palette().color(QPalette::Active, QPalette::WindowText), darkRed);
            QCOMPARE(form->label->palette().color(QPalette::Inactive, QPalette::WindowText),
                     darkRed);
            // Solid parts of the glyphs come out in the status colour.
            QTRY_VERIFY2(paintedShare(form->label, darkRed) > 0.005, tag);
        }
        // Angle brackets are shown as they are, not taken for markup.
        form->label->setText(QStringLiteral("PRESIONE <BUSCAR>"));
        QCOMPARE(form->label->textFormat(), Qt::PlainText);
    }

    // The check box shows its box only; its caption lies outside it.
    void checkBoxCaptionHidden() {
        QStyleOptionButton opt;
        opt.initFrom(form->chk_aut);
        opt.text = form->chk_aut->text();
        QStyle* style = form->chk_aut->style();
        const QRect box = style->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, form->chk_aut);
        const QRect caption =
            style->subElementRect(QStyle::SE_CheckBoxContents, &opt, form->chk_aut);
        QVERIFY(form->chk_aut->rect().contains(box));
        QVERIFY2(caption.left() >= form->chk_aut->width(),
                 qPrintable(QStringLiteral("caption starts at %1").arg(caption.left())));
    }

    // Each text fits its control in the font the control uses.
    void textsFit_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("frm_com title") << "frm_com"
                                       << "Comunicación Puerto COM";
        QTest::newRow("frm_det title") << "frm_det"
                                       << "Detección de Dirección del Dispositivo";
        QTest::newRow("frm_dir title") << "frm_dir"
                                       << "Cambio de Dirección";
        QTest::newRow("lbl_ini") << "lbl_ini"
                                 << "Inicio:";
        QTest::newRow("lbl_fin") << "lbl_fin"
                                 << "Fin:";
        QTest::newRow("lbl_rango") << "lbl_rango"
                                   << "Rango Automático";
        QTest::newRow("Conectar") << "cmd_conexion"
                                  << "Conectar";
        QTest::newRow("Desconectar") << "cmd_conexion"
                                     << "Desconectar";
        QTest::newRow("Buscar") << "cmb_buscar"
                                << "Buscar";
        QTest::newRow("Cambiar") << "cmd_cambiar"
                                 << "Cambiar";
        QTest::newRow("COM20") << "cmb_com"
                               << "COM20";
        QTest::newRow("address 127") << "cmb_dir"
                                     << "127";
        QTest::newRow("txt_ini 127") << "txt_ini"
                                     << "127";
        QTest::newRow("txt_fin 127") << "txt_fin"
                                     << "127";
    }
    void textsFit() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QWidget* w = control(name);
        QVERIFY(w);
        const QFontMetrics fm(w->font());
        const int needed = fm.horizontalAdvance(text);
        QStyle* style = w->style();
        QRect room;
        if (auto* g = qobject_cast<QGroupBox*>(w)) {
            QStyleOptionGroupBox opt;
            opt.initFrom(g);
            opt.text = text;
            opt.textAlignment = g->alignment();
            opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            opt.lineWidth = 1;
            const QRect title =
                style->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, g);
            QVERIFY2(g->rect().contains(title),
                     qPrintable(QStringLiteral("title spans %1..%2 in %3 pixels")
                                    .arg(title.left())
                                    .arg(title.right())
                                    .arg(g->width())));
            room = title;
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            room = l->contentsRect();
            QVERIFY(fm.height() <= room.height());
        } else if (auto* b = qobject_cast<QPushButton*>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(b);
            opt.text = text;
            room = style->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
        } else if (auto* c = qobject_cast<QComboBox*>(w)) {
            QStyleOptionComboBox opt;
            opt.initFrom(c);
            opt.frame = true;
            opt.editable = false;
            opt.subControls = QStyle::SC_All;
            room =
                style->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, c);
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            QStyleOptionFrame opt;
            opt.initFrom(e);
            opt.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, e);
            room = style->subElementRect(QStyle::SE_LineEditContents, &opt, e)
                       .marginsRemoved(e->textMargins());
            room.adjust(2, 0, -2, 0); // the line edit's own inner margin
            QVERIFY(fm.height() <= room.height());
        }
        QVERIFY2(
            needed <= room.width(),
            qPrintable(
                QStringLiteral("%1 pixels of text, %2 of room").arg(needed).arg(room.width())));
    }

    // Every status message wraps within the status label's fixed box.
    void statusTextsFit_data() {
        QTest::addColumn<QString>("text");
        for (const auto& [tag, text] : statusTexts()) QTest::newRow(tag) << text;
    }
    void statusTextsFit() {
        QFETCH(QString, text);
        QCOMPARE(form->label->size(), QSize(425, 41));
        const QRect box = form->label->contentsRect();
        const QFontMetrics fm(form->label->font());
        const QRect used = fm.boundingRect(box, Qt::TextWordWrap | Qt::AlignHCenter, text);
        QVERIFY2(used.height() <= box.height() && used.width() <= box.width(),
                 qPrintable(QStringLiteral("needs %1x%2 of %3x%4")
                                .arg(used.width())
                                .arg(used.height())
                                .arg(box.width())
                                .arg(box.height())));
        form->label->setText(text);
        QCOMPARE(form->label->size(), QSize(425, 41));
        // Accents over capitals must not be cut by the label's top edge. Its
        // bottom row lies partly under panel 1, as the layout places them:
        // the rows wholly in view are read.
        const int unclipped = unclippedInkRows(
            form->label->font(), box.width(), Qt::TextWordWrap | Qt::AlignHCenter, text,
            form->label->palette().color(QPalette::WindowText), Form1::COLOR_IDLE());
        const QRect rowsInView = *form->label->visibleRegion().begin();
        QTRY_COMPARE(inkRows(grabbed(form->label, rowsInView), Form1::COLOR_IDLE().rgb()),
                     unclipped);
    }

    // Closing always goes through and leaves the port free for others; so
    // does the system asking the program to end.
    // A signal ignored at start (SIGHUP under nohup) stays ignored; the
    // window then ends on SIGTERM.
    void closing_data() {
        QTest::addColumn<bool>("connect");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("ignoredAtStart");
        QTest::newRow("port open") << true << 0 << 0;
        QTest::newRow("port closed") << false << 0 << 0;
        QTest::newRow("SIGTERM, port open") << true << int(SIGTERM) << 0;
        QTest::newRow("SIGHUP ignored at start, port open") << true << int(SIGTERM) << int(SIGHUP);
    }
    void closing() {
        QFETCH(bool, connect);
        QFETCH(int, signal);
        QFETCH(int, ignoredAtStart);
        Line line(1);
        QVERIFY(line.pty.isValid());
        if (connect) QVERIFY(connectForm(*form));
        QCOMPARE(form->link->MSComm1->PortOpen(), connect);

        if (signal) {
            if (ignoredAtStart) std::signal(ignoredAtStart, SIG_IGN);
            closeOnSignal(form.get());
            if (ignoredAtStart) {
                const bool ignored = std::signal(ignoredAtStart, SIG_IGN) == SIG_IGN;
                std::signal(ignoredAtStart, SIG_DFL);
                QVERIFY(ignored);
            }
            QCOMPARE(::raise(signal), 0);
            QTRY_VERIFY(form->link->closing());
        } else {
            QCloseEvent refused;
            refused.ignore();
            QApplication::sendEvent(form.get(), &refused);
            QVERIFY(refused.isAccepted());
            QVERIFY(!form->link->MSComm1->PortOpen());
            QVERIFY(form->close());
        }
        QVERIFY(!form->link->MSComm1->PortOpen());
        QVERIFY(!form->isVisible());

        QSerialPort other(line.pty.slavePath());
        QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
        other.close();
    }
};

QTEST_MAIN(TestWindowLayout)
#include "tst_window_layout.moc"
