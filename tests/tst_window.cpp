// The window as the user first sees it: every control in its place with its
// texts, fonts, colours, lists and states, the keyboard order, and what the
// window does when it is closed.
#include "harness.h"
#include "link/comport.h"
#include "onscreen.h"
#include "ui/closeonsignal.h"
#include "link/intervaltimer.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QImage>
#include <QMenuBar>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <QSerialPort>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOption>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <memory>

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

// Rows of the image that hold ink: pixels clearly off the background.
int inkRows(const QImage& image, QRgb background) {
    int rows = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAbs(qRed(p) - qRed(background)) + qAbs(qGreen(p) - qGreen(background)) +
                    qAbs(qBlue(p) - qBlue(background)) >
                90) {
                ++rows;
                break;
            }
        }
    }
    return rows;
}

// Ink rows of the text shown on the same screen in the same colours, with
// room to spare above and below, in a window of its own placed clear of the
// others: what a control shows when it cuts no glyph.
int unclippedInkRows(const QFont& font, int width, int flags, const QString& text,
                     const QColor& ink, const QColor& paper) {
    QLabel roomy;
    roomy.setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    roomy.setAttribute(Qt::WA_ShowWithoutActivating);
    roomy.setFont(font);
    roomy.setAutoFillBackground(true);
    QPalette palette = roomy.palette();
    palette.setColor(QPalette::Window, paper);
    palette.setColor(QPalette::WindowText, ink);
    roomy.setPalette(palette);
    roomy.setTextFormat(Qt::PlainText);
    roomy.setWordWrap(flags & Qt::TextWordWrap);
    roomy.setAlignment(Qt::Alignment(flags) & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask));
    roomy.setContentsMargins(0, 50, 0, 50);
    roomy.setText(text);
    roomy.setGeometry(0, 0, width, 200);
    roomy.show();
    if (!QTest::qWaitForWindowExposed(&roomy)) return -1;
    const QImage image = settledOnScreen(&roomy);
    return inkRows(image, paper.rgb());
}

QImage grabbed(QWidget* w, const QRect& r) {
    return settledOnScreen(w, r);
}

// Presses keys in a text box: '<' is Backspace, '*' selects everything,
// anything else is typed.
void typeInto(QLineEdit* box, const QString& keys) {
    for (QChar c : keys) {
        if (c == QLatin1Char('<'))
            QTest::keyClick(box, Qt::Key_Backspace);
        else if (c == QLatin1Char('*'))
            QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        else
            QTest::keyClicks(box, QString(c));
    }
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

class TestWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<Form1> form;

    QWidget* control(const QString& name) const {
        if (name == QLatin1String("Form1")) return form.get();
        return form->findChild<QWidget*>(name);
    }

    void showAndActivate() {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }

    // Panel 2 as the user finds it with the range typed by hand.
    void openRangeForTyping() {
        form->frm_det->setEnabled(true);
        form->chk_aut->setChecked(false);
    }

private slots:
    void init() {
        form = std::make_unique<Form1>();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QVERIFY(waitPlaced(form.get()));
    }
    void cleanup() { form.reset(); }

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

    // The buttons' own flags come back into force with their panels.
    void buttonsUsableOncePanelsEnabled() {
        form->frm_det->setEnabled(true);
        form->frm_dir->setEnabled(true);
        QVERIFY(form->cmb_buscar->isEnabled());
        QVERIFY(form->cmd_cambiar->isEnabled());
        QVERIFY(form->cmb_dir->isEnabled());
        // The automatic range keeps its boxes shut.
        QVERIFY(!form->txt_ini->isEnabled());
        QVERIFY(!form->txt_fin->isEnabled());
        QVERIFY(form->chk_aut->isEnabled());

        // Return and keypad Enter press the focused button, as Space does.
        showAndActivate();
        for (QPushButton* b : {form->cmd_conexion, form->cmb_buscar, form->cmd_cambiar}) {
            QObject::disconnect(b, &QPushButton::clicked, form.get(), nullptr);
            QSignalSpy clicks(b, &QPushButton::clicked);
            b->setFocus();
            QTest::keyClick(b, Qt::Key_Return);
            QTest::keyClick(b, Qt::Key_Enter, Qt::KeypadModifier);
            QTest::keyClick(b, Qt::Key_Space);
            QCOMPARE(clicks.size(), 3);
        }
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

    void logStartsEmpty() {
        QCOMPARE(form->lst->count(), 0);
        QVERIFY(!form->lst->isSortingEnabled());
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

    // The controls that take the keyboard, in the order Tab visits them.
    void focusOrder() {
        const QStringList expected = {"cmb_com", "cmd_conexion", "cmb_buscar",
                                      "cmb_dir", "cmd_cambiar",  "lst",
                                      "txt_ini", "txt_fin",      "chk_aut"};
        QStringList chain;
        QWidget* w = form->cmb_com;
        do {
            if ((w->focusPolicy() & Qt::TabFocus) && !w->isWindow() && w->isVisible())
                chain << w->objectName();
            w = w->nextInFocusChain();
        } while (w != form->cmb_com && chain.size() <= expected.size());
        QCOMPARE(chain, expected);

        for (QWidget* none :
             {static_cast<QWidget*>(form->Frame1), static_cast<QWidget*>(form->frm_com),
              static_cast<QWidget*>(form->frm_det), static_cast<QWidget*>(form->frm_dir),
              static_cast<QWidget*>(form->label), static_cast<QWidget*>(form->lbl_ini),
              static_cast<QWidget*>(form->lbl_fin), static_cast<QWidget*>(form->lbl_rango)})
            QCOMPARE(none->focusPolicy(), Qt::NoFocus);
    }

    // Focus starts on the port list, and Tab skips the disabled panels.
    void tabAtStartUp() {
        showAndActivate();
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form->cmb_com));
        QStringList visited;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited, QStringList({"cmd_conexion", "lst", "cmb_com", "cmd_conexion"}));
    }

    // Tab and Shift+Tab visit every usable control once per cycle, the log
    // included, and leave each one; in the log the arrows and paging keys
    // move the selection and keep the focus.
    void tabCycle_data() {
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<bool>("byHand");
        QTest::addColumn<bool>("relayFound");
        QTest::addColumn<QStringList>("cycle");
        QTest::newRow("start-up") << false << false << false
                                  << QStringList{"cmb_com", "cmd_conexion", "lst"};
        QTest::newRow("port open, automatic range")
            << true << false << false
            << QStringList{"cmd_conexion", "cmb_buscar", "lst", "chk_aut"};
        QTest::newRow("port open, range by hand")
            << true << true << false
            << QStringList{"cmd_conexion", "cmb_buscar", "lst", "txt_ini", "txt_fin", "chk_aut"};
        QTest::newRow("relay found")
            << true << false << true << QStringList{"cmb_dir", "cmd_cambiar", "lst"};
        QTest::newRow("every panel enabled")
            << false << true << true
            << QStringList{"cmb_com", "cmd_conexion", "cmb_buscar", "cmb_dir", "cmd_cambiar",
                           "lst",     "txt_ini",      "txt_fin",    "chk_aut"};
    }
    void tabCycle() {
        QFETCH(bool, portOpen);
        QFETCH(bool, byHand);
        QFETCH(bool, relayFound);
        QFETCH(QStringList, cycle);
        showAndActivate();
        for (int i = 0; i < 40; ++i) form->logLine(QStringLiteral("---------> NO RESPONDE"));
        form->cmb_com->setEnabled(!portOpen);
        form->frm_com->setEnabled(!portOpen || !relayFound);
        form->frm_det->setEnabled(portOpen ? !relayFound : byHand);
        form->frm_dir->setEnabled(relayFound);
        form->chk_aut->setChecked(!byHand);
        form->findChild<QWidget*>(cycle.first())->setFocus();
        for (const auto key : {Qt::Key_Tab, Qt::Key_Backtab}) {
            QStringList visited;
            for (qsizetype i = 0; i < cycle.size(); ++i) {
                QWidget* at = QApplication::focusWidget();
                if (at == form->lst) {
                    // -1: a page up, -2: a page down from there.
                    for (const auto& [move, row] : {std::pair{Qt::Key_Home, 0},
                                                    {Qt::Key_Down, 1},
                                                    {Qt::Key_End, 39},
                                                    {Qt::Key_Up, 38},
                                                    {Qt::Key_PageUp, -1},
                                                    {Qt::Key_PageDown, -2}}) {
                        const int before = form->lst->currentRow();
                        QTest::keyClick(at, move);
                        QCOMPARE(QApplication::focusWidget(), at);
                        const int now = form->lst->currentRow();
                        QVERIFY2(row >= 0    ? now == row
                                 : row == -1 ? now < before - 1
                                             : now > before + 1,
                                 qPrintable(QStringLiteral("%1 to %2").arg(before).arg(now)));
                    }
                }
                QTest::keyClick(at, key);
                visited << QApplication::focusWidget()->objectName();
            }
            QStringList expected = cycle.mid(1) << cycle.first();
            if (key == Qt::Key_Backtab) {
                std::reverse(expected.begin(), expected.end());
                expected = expected.mid(1) << expected.first();
            }
            QCOMPARE(visited, expected);
        }
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

    // What assistive technology is told of each control; the log is a list
    // whose items are its lines, the newest one selected.
    void accessibleNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("spoken");
        QTest::newRow("txt_ini") << "txt_ini" << int(QAccessible::EditableText) << "Inicio:";
        QTest::newRow("txt_fin") << "txt_fin" << int(QAccessible::EditableText) << "Fin:";
        QTest::newRow("chk_aut") << "chk_aut" << int(QAccessible::CheckBox) << "Rango Automático";
        QTest::newRow("cmd_conexion") << "cmd_conexion" << int(QAccessible::Button) << "Conectar";
        QTest::newRow("cmb_buscar") << "cmb_buscar" << int(QAccessible::Button) << "Buscar";
        QTest::newRow("cmd_cambiar") << "cmd_cambiar" << int(QAccessible::Button) << "Cambiar";
        QTest::newRow("lst") << "lst" << int(QAccessible::List) << "";
    }
    void accessibleNames() {
        QFETCH(QString, name);
        QFETCH(int, role);
        QFETCH(QString, spoken);
        const QStringList lines = {QStringLiteral("MENSAJE A LA DIRECCION <12>: "),
                                   QStringLiteral("---------> CORRECTO"),
                                   QStringLiteral("DETECTADO DIRECCIÓN <12>.")};
        for (const QString& line : lines) form->logLine(line);
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control(name));
        QVERIFY(a);
        QCOMPARE(int(a->role()), role);
        if (role != QAccessible::List) {
            QCOMPARE(a->text(QAccessible::Name), spoken);
            return;
        }
        QCOMPARE(a->childCount(), lines.size());
        for (int i = 0; i < lines.size(); ++i) {
            QAccessibleInterface* item = a->child(i);
            QVERIFY(item);
            QCOMPARE(int(item->role()), int(QAccessible::ListItem));
            QCOMPARE(item->text(QAccessible::Name), lines.at(i));
            QCOMPARE(bool(item->state().selected), i == lines.size() - 1);
        }
    }

    // The range boxes take at most three typed characters; the program's
    // own texts are not cut, and an over-long one can still be shortened.
    void typingLimit_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("result");
        for (const char* box : {"txt_ini", "txt_fin"}) {
            auto row = [box](const char* what, const char* preset, const char* keys,
                             const char* result) {
                QTest::addRow("%s: %s", box, what) << box << preset << keys << result;
            };
            row("fourth digit refused", "", "1234", "123");
            row("fourth letter refused", "", "abcd", "abc");
            row("full box takes no more", "127", "9", "127");
            row("typing over a selection", "127", "*5", "5");
            row("room after a deletion", "127", "<9", "129");
            row("program text not cut", "12345", "", "12345");
            row("long text shrinks", "12345", "<", "1234");
            row("long text does not grow", "12345", "6", "12345");
            row("still too long after a deletion", "12345", "<7", "1234");
        }
    }
    void typingLimit() {
        QFETCH(QString, box);
        QFETCH(QString, preset);
        QFETCH(QString, keys);
        QFETCH(QString, result);
        showAndActivate();
        openRangeForTyping();
        auto* edit = qobject_cast<QLineEdit*>(control(box));
        QVERIFY(edit && edit->isEnabled());
        edit->setText(preset);
        QCOMPARE(edit->text(), preset);
        edit->setFocus();
        edit->end(false);
        typeInto(edit, keys);
        QCOMPARE(edit->text(), result);
    }

    // Setting the value runs the click handler before the setter returns.
    void checkBoxValueRaisesClick() {
        form->chk_aut->setChecked(false);
        QVERIFY(form->txt_ini->isEnabledTo(form->frm_det));
        QVERIFY(form->txt_fin->isEnabledTo(form->frm_det));
        form->txt_ini->setText(QStringLiteral("5"));
        form->txt_fin->setText(QStringLiteral("9"));
        form->chk_aut->setChecked(true);
        QCOMPARE(form->txt_ini->text(), QStringLiteral("1"));
        QCOMPARE(form->txt_fin->text(), QStringLiteral("127"));
        QVERIFY(!form->txt_ini->isEnabledTo(form->frm_det));
        QVERIFY(!form->txt_fin->isEnabledTo(form->frm_det));
    }

    void sameValueRaisesNothing() {
        QVERIFY(form->chk_aut->isChecked());
        form->txt_ini->setText(QStringLiteral("7"));
        form->chk_aut->setChecked(true);
        QCOMPARE(form->txt_ini->text(), QStringLiteral("7"));
    }

    // The caption beside the box is a separate label: clicking it changes
    // nothing, while clicking the box itself does.
    void clickingCaptionLabel() {
        showAndActivate();
        form->frm_det->setEnabled(true);
        QTest::mouseClick(form->lbl_rango, Qt::LeftButton);
        QVERIFY(form->chk_aut->isChecked());
        QVERIFY(!form->txt_ini->isEnabled());

        QStyleOptionButton opt;
        opt.initFrom(form->chk_aut);
        const QRect box = form->chk_aut->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt,
                                                                 form->chk_aut);
        QTest::mouseClick(form->chk_aut, Qt::LeftButton, {}, box.center());
        QVERIFY(!form->chk_aut->isChecked());
        QVERIFY(form->txt_ini->isEnabled());
        QVERIFY(form->txt_fin->isEnabled());
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

    // Each log line lands at the end, becomes the one selected line and is
    // scrolled into view; nothing is reordered.
    void logLines() {
        // What reaches the screen, not a fresh rendering: a line appended in
        // view is painted there.
        form->logLine(QStringLiteral("MENSAJE A LA DIRECCION <1>: "));
        form->logLine(QStringLiteral("---------> CORRECTO"));
        const QRect shownRow =
            form->lst->visualItemRect(form->lst->item(1))
                .translated(form->lst->viewport()->mapTo(form.get(), QPoint(0, 0)));
        const auto rowOnScreen = [&] {
            const QImage row = form->screen()
                                   ->grabWindow(form->winId(), shownRow.x(), shownRow.y(),
                                                shownRow.width(), shownRow.height())
                                   .toImage()
                                   .convertToFormat(QImage::Format_RGB32);
            return inkRows(row, row.pixel(row.width() - 1, 0)) > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(rowOnScreen(), 1000);
        form->lst->clear();

        // Well past the hundred lines a batched layout handles at once.
        const int lines = 300;
        for (int i = 0; i < lines; ++i) {
            // Descending texts would move if the list sorted itself.
            const QString text = QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(lines - i);
            form->logLine(text);
            QCOMPARE(form->lst->count(), i + 1);
            QCOMPARE(form->lst->item(i)->text(), text);
            QCOMPARE(form->lst->currentRow(), i);
            const auto selected = form->lst->selectedItems();
            QCOMPARE(selected.size(), 1);
            QCOMPARE(selected.first(), form->lst->item(i));
            QVERIFY2(form->lst->viewport()->rect().contains(
                         form->lst->visualItemRect(form->lst->item(i))),
                     qPrintable(QString::number(i)));
        }
        for (int i = 0; i < lines; ++i)
            QCOMPARE(form->lst->item(i)->text(),
                     QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(lines - i));
        QApplication::processEvents();
        const QRect last = form->lst->visualItemRect(form->lst->item(lines - 1));
        QVERIFY(form->lst->viewport()->rect().contains(last));
        const QRect first = form->lst->visualItemRect(form->lst->item(0));
        QVERIFY(!form->lst->viewport()->rect().intersects(first));

        // A row shows the whole of an accented capital, selected or not.
        const QString accented = QStringLiteral("DIRECCIÓN NUEVA:20");
        form->logLine(accented);
        form->logLine(QStringLiteral("DETECTADO DIRECCIÓN <12>."));
        QApplication::processEvents();
        for (int row : {lines, lines + 1}) {
            QListWidgetItem* item = form->lst->item(row);
            const QRect rect = form->lst->visualItemRect(item);
            const QPalette& colours = form->lst->palette();
            const bool selected = item->isSelected();
            const int unclipped = unclippedInkRows(
                form->lst->font(), rect.width(), Qt::AlignLeft | Qt::AlignTop, item->text(),
                colours.color(selected ? QPalette::HighlightedText : QPalette::Text),
                colours.color(selected ? QPalette::Highlight : QPalette::Base));
            const auto shownRows = [&] {
                const QImage shown = grabbed(form->lst->viewport(), rect);
                return inkRows(shown, shown.pixel(shown.width() - 1, shown.height() / 2));
            };
            QTRY_COMPARE(shownRows(), unclipped);
        }
    }

    // What the display shows of the log, line after line as a search adds
    // them and at 20,000 lines, is what a full repaint draws there: every row
    // once, in its place, whole rows from the top, the newest wholly in view.
    void logOnScreen() {
        showAndActivate();
        LogList* lst = form->lst;
        QWidget* view = lst->viewport();
        const auto appendAndCheck = [&](const QString& text) {
            form->logLine(text);
            const QImage shown = settledOnScreen(view);
            view->repaint();
            if (settledOnScreen(view) != shown)
                QFAIL(qPrintable(QStringLiteral("line %1 drawn wrong").arg(lst->count())));
            QCOMPARE(lst->visualRect(lst->indexAt(QPoint(1, 1))).top(), 0);
            QVERIFY(view->rect().contains(lst->visualItemRect(lst->item(lst->count() - 1))));
            QCOMPARE(lst->selectedItems(), QList<QListWidgetItem*>{lst->item(lst->count() - 1)});
        };
        const auto searchLines = [&](int from, int to) {
            for (int address = from; address <= to && !QTest::currentTestFailed(); ++address) {
                appendAndCheck(QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(address));
                appendAndCheck(QStringLiteral("---------> NO RESPONDE"));
            }
        };
        searchLines(1, 30);
        appendAndCheck(QStringLiteral("DETECTADO DIRECCIÓN <30>."));
        while (lst->count() < 20000) form->logLine(QStringLiteral("---------> NO RESPONDE"));
        searchLines(31, 33);
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

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
