#include "ui/form1.h"

#include "link/modbuslink.h"
#include "link/mscomm.h"
#include "ui/controls.h"
#include "ui/fonts.h"
#include "ui/loglist.h"
#include "ui/portcombo.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QWindow>
#include <initializer_list>

const QColor Form1::COLOR_ACTIVE = QColor(255, 255, 128);
const QColor Form1::COLOR_BAD = QColor(255, 192, 192);
const QColor Form1::COLOR_OK = QColor(255, 255, 255);

QColor Form1::COLOR_IDLE() {
    return QApplication::palette().color(QPalette::Button);
}

// The icon lives in a static library, whose resources only link in when used.
static void initResources() {
    Q_INIT_RESOURCE(resources);
}

Form1::Form1(int replyWaitMs, QWidget* parent) : QWidget(parent) {
    // Only once the members are set: a new child is an event to this window.
    link = new ModbusLink(replyWaitMs, this);
    initResources();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("CONFIGURACION DIRECCION PARA DISPOSITIVOS ORVANT"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowIcon(QIcon(QStringLiteral(":/orvant-address.png")));
    setFixedSize(6855 / 15, 3855 / 15);

    createControls();
    applyFonts();

    connect(cmd_conexion, &QPushButton::clicked, this, &Form1::cmd_conexion_Click);
    connect(cmb_buscar, &QPushButton::clicked, this, &Form1::cmb_buscar_Click);
    connect(cmd_cambiar, &QPushButton::clicked, this, &Form1::cmd_cambiar_Click);
    // Also raised when the program sets the value; start-up relies on it.
    connect(chk_aut, &QCheckBox::stateChanged, this, &Form1::chk_aut_Click);
    connect(link, &ModbusLink::logLine, this, &Form1::logLine);
    connect(link, &ModbusLink::PortLost, this, &Form1::link_PortLost);
    // Live only while a search runs, so Esc reaches the controls as before
    // at every other moment.
    m_stopKey = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    m_stopKey->setEnabled(false);
    connect(m_stopKey, &QShortcut::activated, link, &ModbusLink::requestStop);

    Form_Load();

    // The client area is placed; move() would place the frame's corner there.
    if (QScreen* s = screen())
        setGeometry(
            QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), s->availableGeometry()));
}

bool Form1::event(QEvent* e) {
    // A window manager frames the window only after it is shown: centre the
    // framed window once, as soon as the frame is known.
    if (!m_framedCentred && windowHandle() &&
        (e->type() == QEvent::Move || e->type() == QEvent::Resize || e->type() == QEvent::Expose ||
         e->type() == QEvent::WindowActivate)) {
        const QMargins frame = windowHandle()->frameMargins();
        if (!frame.isNull() && screen()) {
            m_framedCentred = true;
            const QSize framed = size().grownBy(frame);
            move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, framed,
                                     screen()->availableGeometry())
                     .topLeft());
        }
    }
    return QWidget::event(e);
}

Form1::~Form1() = default;

// The window's controls, panel by panel, in the order of the containment
// tree; then the keyboard and the initial colours.
void Form1::createControls() {
    using namespace controls;
    Frame1 = frame(this, "Frame1", QString(), twips(120, 0, 6615, 3735));
    label = statusLine(Frame1, "label", twips(120, 240, 6375, 615));
    createPortPanel();
    createSearchPanel();
    createChangePanel();

    lst = new LogList(this);
    place(lst, "lst", twips(3480, 960, 3135, 2595));
    lst->raise(); // in front of Frame1

    setUpKeyboard();
    for (QWidget* w : std::initializer_list<QWidget*>{
             this, Frame1, label, frm_com, frm_det, lbl_ini, chk_aut, lbl_rango, lbl_fin, frm_dir})
        setBackColor(w, COLOR_IDLE());
}

// Panel 1: choose and open the serial port.
void Form1::createPortPanel() {
    using namespace controls;
    frm_com = frame(Frame1, "frm_com", QStringLiteral("Comunicación Puerto COM"),
                    twips(120, 840, 3135, 855));
    cmb_com = new PortCombo(frm_com);
    QStringList ports;
    for (int n = 1; n <= 20; ++n) ports << QStringLiteral("COM%1").arg(n);
    fillDropDown(cmb_com, "cmb_com", twips(240, 360, 1095, 315), ports);
    cmd_conexion =
        button(frm_com, "cmd_conexion", QStringLiteral("Conectar"), twips(1440, 360, 1410, 330));
}

// Panel 2: find the relay's address.
void Form1::createSearchPanel() {
    using namespace controls;
    frm_det = frame(Frame1, "frm_det", QStringLiteral("Detección de Dirección del Dispositivo"),
                    twips(120, 1680, 3135, 1215));
    frm_det->setEnabled(false);
    lbl_ini = caption(frm_det, "lbl_ini", QStringLiteral("Inicio:"), twips(120, 360, 615, 255),
                      Qt::AlignLeft);
    txt_ini = rangeBox(frm_det, "txt_ini", QStringLiteral("1"), twips(600, 240, 450, 375));
    chk_aut = new QCheckBox(QStringLiteral("chk_aut"), frm_det);
    place(chk_aut, "chk_aut", twips(1200, 240, 255, 375));
    // A check box paints with the Button role; panel colours use Window.
    chk_aut->setBackgroundRole(QPalette::Window);
    chk_aut->setAutoFillBackground(true);
    lbl_rango = caption(frm_det, "lbl_rango", QStringLiteral("Rango Automático"),
                        twips(1440, 360, 1335, 255), Qt::AlignLeft);
    lbl_fin = caption(frm_det, "lbl_fin", QStringLiteral("Fin:"), twips(120, 840, 375, 255),
                      Qt::AlignRight);
    txt_fin = rangeBox(frm_det, "txt_fin", QStringLiteral("127"), twips(600, 720, 450, 375));
    cmb_buscar =
        button(frm_det, "cmb_buscar", QStringLiteral("Buscar"), twips(1440, 720, 1410, 330));
    txt_ini->raise(); // the box lies in front of its label
}

// Panel 3: give the relay its new address.
void Form1::createChangePanel() {
    using namespace controls;
    frm_dir = frame(Frame1, "frm_dir", QStringLiteral("Cambio de Dirección"),
                    twips(120, 2880, 3135, 735));
    frm_dir->setEnabled(false);
    cmb_dir = new QComboBox(frm_dir);
    QStringList addresses;
    for (int n = 1; n <= 127; ++n) addresses << QString::number(n);
    fillDropDown(cmb_dir, "cmb_dir", twips(240, 240, 1095, 315), addresses);
    cmd_cambiar =
        button(frm_dir, "cmd_cambiar", QStringLiteral("Cambiar"), twips(1440, 240, 1410, 330));
}

// Focus order, Enter on buttons, and the names screen readers speak.
void Form1::setUpKeyboard() {
    // Screen readers name the boxes after the labels beside them.
    lbl_ini->setBuddy(txt_ini);
    lbl_fin->setBuddy(txt_fin);
    lbl_rango->setBuddy(chk_aut);
    txt_ini->setAccessibleName(lbl_ini->text());
    txt_fin->setAccessibleName(lbl_fin->text());
    chk_aut->setAccessibleName(lbl_rango->text());

    QWidget* order[] = {cmb_com, cmd_conexion, cmb_buscar, cmb_dir, cmd_cambiar,
                        lst,     txt_ini,      txt_fin,    chk_aut};
    for (QWidget* w : order) w->setFocusPolicy(Qt::StrongFocus);
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    // Enter presses the focused button, as Space does.
    for (QPushButton* b : {cmd_conexion, cmb_buscar, cmd_cambiar}) b->installEventFilter(this);
}

void Form1::applyFonts() {
    const QFont regular = sansFont(13); // the window's 9.75 pt
    const QFont small = sansFont(11);   // 8.25 pt
    setFont(regular);
    for (QWidget* w : std::initializer_list<QWidget*>{frm_com, cmb_com, cmd_conexion, frm_det,
                                                      lbl_ini, lbl_rango, lbl_fin, cmb_buscar,
                                                      frm_dir, cmb_dir, cmd_cambiar, lst})
        w->setFont(small);
    label->setFont(sansFont(11, true));
    // Controls without a font of their own keep the window's.
    for (QWidget* w : std::initializer_list<QWidget*>{Frame1, txt_ini, chk_aut, txt_fin})
        w->setFont(regular);
}

QColor Form1::BackColor(const QWidget* w) {
    return controls::backColor(w);
}

void Form1::setBackColor(QWidget* w, const QColor& c) {
    controls::setBackColor(w, c);
}

void Form1::setPanel2Color(const QColor& c) {
    setBackColor(frm_det, c);
    setBackColor(lbl_ini, c);
    setBackColor(lbl_fin, c);
    setBackColor(lbl_rango, c);
    setBackColor(chk_aut, c);
}

void Form1::logLine(const QString& text, const QByteArray& trace) {
    lst->addLine(text, trace);
}

void Form1::Form_Load() {
    link->RxLen = 0;
    link->RxFlag = 0;
    link->TimeOutFlag = QVariant::fromValue<int16_t>(0);
    cmb_com->setCurrentText(QStringLiteral("COM1"));
    cmb_dir->setCurrentText(QStringLiteral("1"));
    label->setText(QStringLiteral("CONECTE LA INTERFAZ USB O RS232 Y SELECCIONE EL PUERTO COM"));
    setBackColor(frm_com, COLOR_ACTIVE);
    chk_aut->setChecked(true);
    cmb_com->setFocus();
}

void Form1::Form_Unload(int16_t& Cancel) {
    Q_UNUSED(Cancel);
    if (link->MSComm1->PortOpen()) link->MSComm1->setPortOpen(false);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            QKeyEvent space(key->type(), Qt::Key_Space, key->modifiers() & ~Qt::KeypadModifier,
                            QStringLiteral(" "), key->isAutoRepeat(), key->count());
            QApplication::sendEvent(watched, &space);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::closeEvent(QCloseEvent* event) {
    int16_t Cancel = 0;
    Form_Unload(Cancel);
    // A transaction waiting inside a handler sees this and ends at once.
    link->shutDown();
    event->accept();
}
