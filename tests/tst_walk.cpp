// A seeded random walk of the window: user actions and line events drawn at
// random, each checked against a model of what the window must then show.
// The window, its timer and its serial control are the real ones, on the
// real event loop, with scripted relays on pseudo-terminals.
//   ORVANT_WALK_SEED=n ORVANT_WALK_STEPS=m  replays seed n for m steps
//   ORVANT_WALK_SEEDS=k ORVANT_WALK_JOBS=j  k seeds from n on, j processes at once
#include "harness.h"
#include "texts.h"
#include "workflow/faultlines.h"

#include <QApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QSerialPort>
#include <algorithm>
#include <array>
#include <deque>
#include <list>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>

namespace {

// Short, so that thousands of steps fit in a minute; a reply from the
// in-process relay still has more than 100 ms to spare.
constexpr int kWait = 110;
// A search predicted to send more frames than this gets an Esc within them.
constexpr int kFrameCap = 5;
const QString kMissing = QStringLiteral("/nonexistent/orvant-walk-missing");

enum class Mode { Eight, Standard, Silent, Late, Exception };
const char* const kModeNames[] = {"eight", "standard", "silent", "late", "exception"};

// Something done while a transaction waits, at its n-th frame of the step.
enum class Inject { None, Esc, Pull, ClickCambiar, ClickBuscar, ClickConexion, PickDir, Mode };
struct Injection {
    Inject kind = Inject::None;
    int at = -1;   // frame index within the step
    int phase = 0; // 0 before the reply, 1 just after it, 2 once it is in
    int arg = 0;   // PickDir: entry; Mode: the new mode
};

// One relay bus as the model believes it.
struct Bus {
    std::set<int> relays;
    Mode mode = Mode::Eight;
    QByteArray pending; // a late relay's reply, sent with the next request
};

QByteArray lowCrc(const QByteArray& bytes) {
    return ScriptedRelay::withCrc(bytes).right(2);
}

// The window as the model predicts it, from the behaviour the user is told
// about: panels, texts, log, frames on the line and bytes heard.
struct Model {
    QString status = QStringLiteral("CONECTE LA INTERFAZ USB O RS232 Y SELECCIONE EL PUERTO COM");
    bool open = false;
    int openCom = 0;
    int comSel = 0;
    bool comOn = true;
    bool p1 = true, p2 = false, p3 = false;
    bool c1 = true, c2 = false, c3 = false; // COLOR_ACTIVE or COLOR_IDLE
    bool aut = true;
    QString ini = QStringLiteral("1"), fin = QStringLiteral("127"), box = QStringLiteral("BASE");
    int dirSel = 0;
    int dirActual = 0;
    QStringList log;
    qint64 heard = 0;
    // Reply bytes stored and not yet consumed by a wait; the buffer keeps
    // older bytes behind them.
    std::array<quint8, 21> rx{};
    int rxLen = 0;
    std::map<int, Bus> bus; // COM1 and COM2
    std::set<int> pulled;   // adapters out
    QStringList frames;     // this step's, "COMn hex"
    int waits = 0;          // this step's reply waits that ran to the timer
    ReplyFault fault;       // what the last transaction's refused bytes were
    QString heldDevice;     // COM4's device, open in another program

    void connectSteps() {
        const int com = comSel + 1;
        if (com == 4) {
            status = QStringLiteral("ERROR: ") + heldDevice +
                     QStringLiteral(" ESTÁ EN USO POR OTRO PROGRAMA. CIÉRRELO E INTENTE DE NUEVO");
            return;
        }
        if (com == 3 || pulled.count(com)) {
            status = kBadPort;
            return;
        }
        open = true;
        openCom = com;
        comOn = false;
        status = QStringLiteral("PUERTO <COM%1").arg(com) + kConnectedTail;
        c1 = false;
        c2 = true;
        p2 = true;
    }
    void disconnectSteps() {
        open = false;
        comOn = true;
        status = kDisconnected;
        p2 = false;
        c3 = false;
        c2 = false;
        c1 = true;
    }
    void portLost() {
        disconnectSteps();
        p1 = true;
        p3 = false;
        status = kPortLost;
    }

    void store(const QByteArray& bytes) {
        heard += bytes.size();
        for (char b : bytes)
            if (rxLen < 21) rx[rxLen++] = static_cast<quint8>(b);
    }

    // What the bus sends back for one request, and what the request does
    // to its relays.
    QByteArray answer(Bus& b, const QByteArray& req) {
        const int a = static_cast<quint8>(req[0]), fcn = req[1],
                  value = static_cast<quint8>(req[5]);
        QByteArray out;
        if (b.mode == Mode::Late) out = b.pending;
        QByteArray reply;
        if (b.relays.count(a) && b.mode != Mode::Silent) {
            if (b.mode == Mode::Exception) {
                reply = ScriptedRelay::exceptionReply(a, fcn, 4);
            } else if (fcn == 3) {
                reply = ScriptedRelay::readReply(a, a,
                                                 b.mode == Mode::Standard
                                                     ? ScriptedRelay::Layout::Standard
                                                     : ScriptedRelay::Layout::Eight);
            } else {
                b.relays.erase(a);
                b.relays.insert(value);
                reply = req;
            }
        }
        if (b.mode == Mode::Late) {
            b.pending = reply;
            return out;
        }
        return reply;
    }

    // A reply as the relays of this tool send it (8 bytes, check value over
    // six), or a standard read reply that came whole during this wait.
    bool accepted(const QByteArray& tx, int fresh) const {
        const auto t = [&](int i) { return static_cast<quint8>(tx[i]); };
        const QByteArray r(reinterpret_cast<const char*>(rx.data()), 8);
        bool ok = lowCrc(r.left(6)) == r.mid(6, 2) && rx[0] == t(0) && rx[1] == t(1);
        if (t(1) == 3 && rx[2] != 2) ok = false;
        if (t(1) == 6 && r.mid(2, 4) != tx.mid(2, 4)) ok = false;
        if (ok) return true;
        return t(1) == 3 && fresh >= 7 && rx[0] == t(0) && rx[1] == 3 && rx[2] == 2 &&
               lowCrc(r.left(5)) == r.mid(5, 2);
    }

    // One transaction: up to three attempts, each a whole wait; false when
    // no valid reply came. frame counts the step's frames for injections.
    bool transact(int a, int fcn, int value, int& frame, const Injection& inj, bool search,
                  bool& stop) {
        const QByteArray tx = ScriptedRelay::request(a, fcn, 0, 3, 0, value);
        log << startLine(a);
        bool error = true;
        fault = {};
        for (int attempt = 0; error && attempt < 3 && open && !stop; ++attempt) {
            frames << QStringLiteral("COM%1 %2").arg(openCom).arg(QString::fromLatin1(tx.toHex()));
            const bool here = inj.at == frame++;
            const int before = rxLen;
            if (!(here && inj.kind == Inject::Pull)) {
                store(answer(bus[openCom], tx));
                ++waits; // a lost port ends its wait early
            }
            error = true;
            if (rxLen > 0) {
                const int fresh = before == 0 ? rxLen : 0;
                rxLen = 0;
                error = !accepted(tx, fresh);
                // Only bytes that all came after the frame say something of
                // the relay; an exception frame says the most.
                const QByteArray r(reinterpret_cast<const char*>(rx.data()), 5);
                if (error && fresh && fault.kind != ReplyFault::Exception)
                    fault = r[0] == tx[0] && quint8(r[1]) == (fcn | 0x80) &&
                                    lowCrc(r.left(3)) == r.mid(3, 2)
                                ? ReplyFault{ReplyFault::Exception, quint8(r[2])}
                                : ReplyFault{ReplyFault::Unreadable, 0};
            }
            if (!here) continue;
            if (inj.kind == Inject::Pull) {
                pulled.insert(openCom);
                open = false; // seen by the program as a lost port
            }
            if (inj.kind == Inject::Esc && search) stop = true;
            if (inj.kind == Inject::PickDir && p3) dirSel = inj.arg;
            if (inj.kind == Inject::Mode) bus[openCom].mode = Mode(inj.arg);
        }
        log << (error ? kNoReply : kCorrect);
        return !error;
    }

    void search(int first, int last, const Injection& inj) {
        box = QStringLiteral("OK");
        status = kSearching;
        p1 = p2 = false;
        int frame = 0, current = first;
        bool found = false, stop = false;
        FaultTally faults;
        while (!found && current <= last && open && !stop) {
            found = transact(current, 3, 1, frame, inj, true, stop);
            faults.add(current++, fault);
        }
        const bool lost = !open;
        if (lost) open = true; // the steps below run before the loss is shown
        if (found) {
            dirActual = current - 1;
            status = foundStatus(dirActual);
            log << QStringLiteral("DETECTADO DIRECCIÓN <%1>.").arg(dirActual);
            c2 = false;
            c3 = true;
            p3 = true;
        } else if (!lost) {
            log << faults.lines();
            if (stop) {
                const QString where =
                    QStringLiteral("BÚSQUEDA DETENIDA EN LA DIRECCIÓN <%1>").arg(current - 1);
                log << where;
                status = where + QStringLiteral(". PRESIONE <BUSCAR> PARA BUSCAR DE NUEVO");
            } else {
                status = kNotFound;
            }
            p1 = p2 = true;
        }
        if (lost) portLost();
    }

    void change(const Injection& inj) {
        const int n = dirSel + 1;
        int frame = 0;
        bool stop = false;
        const bool ok = transact(dirActual, 6, n, frame, inj, false, stop);
        const bool lost = !open;
        if (ok) {
            status = changedStatus(QString::number(n));
            log << QStringLiteral("DIRECCIÓN NUEVA:%1").arg(n);
        } else {
            status = kChangeFailed;
            FaultTally faults;
            faults.add(dirActual, fault);
            log << faults.lines() << QStringLiteral("DIRECCIÓN ACTUAL%1").arg(dirActual);
        }
        c3 = false;
        c2 = true;
        p3 = false;
        p2 = p1 = true;
        dirSel = 0;
        dirActual = 1;
        rx.fill(0);
        if (lost) {
            open = true;
            portLost();
        }
    }
};

// Typed range texts: what each one counts as (rounded), or none.
struct Token {
    const char* text;
    std::optional<int> value;
};
const Token kTokens[] = {
    {"", {}},     {"  ", {}},   {"abc", {}},  {"x", {}},     {"0x1", {}},  {"1,5", {}}, {"-1", -1},
    {"-5", -5},   {"+3", 3},    {" 4", 4},    {"2 ", 2},     {"1.5", 2},   {"2.5", 2},  {"3.5", 4},
    {"0.5", 0},   {".5", 0},    {"3.", 3},    {"1e1", 10},   {"1e5", {}},  {"9e9", {}}, {"0", 0},
    {"127", 127}, {"128", 128}, {"999", 999}, {"1234", 123}, {"0012", 12}, {"1e0", 1},  {"-0", 0},
};

std::optional<int> valueOf(const QString& text) {
    for (const Token& t : kTokens)
        if (text == QLatin1String(t.text)) return t.value;
    bool ok = false;
    const int v = text.toInt(&ok);
    if (ok && !text.isEmpty() && text.at(0).isDigit()) return v;
    return {};
}

// Runs the event loop until the condition holds, waking for each event.
bool settle(const std::function<bool()>& holds, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(timeoutMs);
    while (!holds()) {
        if (clock.elapsed() >= timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QString colourName(const QWidget* w) {
    const QColor c = Form1::BackColor(w);
    if (c == Form1::COLOR_ACTIVE) return QStringLiteral("ACTIVE");
    if (c == Form1::COLOR_IDLE()) return QStringLiteral("IDLE");
    return c.name();
}

} // namespace

class Walk : public QObject {
    Q_OBJECT
public:
    explicit Walk(quint32 seed) : m_seed(seed), m_rng(seed) {}

    // Runs the walk; empty when every step matched, else the report.
    QString run(int steps);
    int framesSent() const { return m_totalFrames; }

private:
    struct Lane {
        std::unique_ptr<Line> line;
        Mode mode = Mode::Eight;
        QByteArray pending;
    };

    int pick(int n) { return static_cast<int>(m_rng() % static_cast<quint32>(n)); }
    bool chance(int percent) { return pick(100) < percent; }

    void plug(int com);
    void pull(int com);
    void setMode(int com, Mode mode);
    void setRelays(int com, const std::set<int>& relays);
    bool script(int com, const QByteArray& req);
    void inject(int com);
    void pressEsc();

    QString step();
    QString randomRangeText();
    QString press(QAbstractButton* button, bool byKey);
    void runInLoop(const std::function<void()>& action, int budgetMs);
    QStringList viewOfWindow() const;
    QStringList viewOfModel() const;

    quint32 m_seed;
    std::mt19937 m_rng;
    Model m;
    std::map<int, Lane> m_lanes;
    std::unique_ptr<Line> m_held;
    std::unique_ptr<QSerialPort> m_holder;
    // Pulled lines stay to the end: gone, one would unset its COM variable.
    std::list<std::unique_ptr<Line>> m_dead;
    qint64 m_heard = 0;
    // This step's record, as the window side sees it.
    int m_logMark = 0;
    int m_frame = 0;
    QStringList m_frames;
    double m_actionMs = 0; // how long the step's handler ran
    qsizetype m_junk = 0;
    Injection m_inj;
    int m_injCom = 0;
    int m_totalFrames = 0;

    // Last, so that the window closes its port before the lines go.
    std::unique_ptr<Form1> f;
};

void Walk::plug(int com) {
    Lane& lane = m_lanes[com];
    lane.line = std::make_unique<Line>(com);
    lane.mode = Mode::Eight;
    lane.pending.clear();
    ScriptedRelay& r = *lane.line->relay;
    r.keepRecords = false;
    for (int a : m.bus[com].relays) r.addRelay(a);
    r.script = [this, com](const QByteArray& req, int) { return script(com, req); };
    connect(&r, &ScriptedRelay::junk, this, [this](const QByteArray& b) { m_junk += b.size(); });
    m.pulled.erase(com);
    m.bus[com].mode = Mode::Eight;
    m.bus[com].pending.clear();
}

void Walk::pull(int com) {
    Lane& lane = m_lanes[com];
    if (!lane.line) return;
    lane.line->cut();
    m_dead.push_back(std::move(lane.line));
    // Unset, COM n would fall back to the system's own ports.
    qputenv(QStringLiteral("ORVANT_COM%1").arg(com).toLatin1().constData(), kMissing.toLatin1());
}

void Walk::setMode(int com, Mode mode) {
    Lane& lane = m_lanes[com];
    lane.mode = mode;
    if (!lane.line) return;
    lane.line->relay->layout =
        mode == Mode::Standard ? ScriptedRelay::Layout::Standard : ScriptedRelay::Layout::Eight;
}

void Walk::setRelays(int com, const std::set<int>& relays) {
    m.bus[com].relays = relays;
    if (!m_lanes[com].line) return;
    ScriptedRelay& r = *m_lanes[com].line->relay;
    r.clearRelays();
    for (int a : relays) r.addRelay(a);
}

void Walk::pressEsc() {
    QWidget* target = QApplication::focusWidget();
    QTest::keyClick(target ? target : f.get(), Qt::Key_Escape);
}

// The relay's side of every request: the step's record, the injection due
// at this frame, and the modes the plain relay does not play.
bool Walk::script(int com, const QByteArray& req) {
    m_frames << QStringLiteral("COM%1 %2").arg(com).arg(QString::fromLatin1(req.toHex()));
    const bool due = m_inj.at == m_frame++;
    if (due && m_inj.kind == Inject::Pull) {
        QTimer::singleShot(0, this, [this, com] { pull(com); });
        return true;
    }
    if (due && m_inj.kind == Inject::Esc && m_inj.phase == 0) pressEsc(); // before the reply
    Lane& lane = m_lanes[com];
    ScriptedRelay& r = *lane.line->relay;
    const int a = static_cast<quint8>(req[0]);
    QByteArray reply;
    if (lane.mode == Mode::Late) {
        reply = lane.pending;
        lane.pending = r.answer(req);
    } else if (lane.mode == Mode::Exception) {
        if (r.addresses().contains(a)) reply = ScriptedRelay::exceptionReply(a, req[1], 4);
    } else if (lane.mode != Mode::Silent) {
        reply = r.answer(req);
    }
    r.send(reply);
    if (!due) return true;
    m_injCom = com;
    // What changes the outcome happens at once, inside this wait, however
    // late a busy machine runs the loop: the relay's manner for the next
    // requests, Esc just after the reply or once the window has it in.
    if (m_inj.kind == Inject::Mode) {
        inject(com);
    } else if (m_inj.kind == Inject::Esc && m_inj.phase == 2 && !reply.isEmpty()) {
        connect(
            f->link->MSComm1, &MSComm::OnComm, this, [this] { pressEsc(); },
            Qt::SingleShotConnection);
    } else if (m_inj.kind == Inject::Esc) {
        if (m_inj.phase > 0) pressEsc();
    } else {
        QTimer::singleShot(0, this, [this] { inject(m_injCom); });
    }
    return true;
}

void Walk::inject(int com) {
    switch (m_inj.kind) {
    case Inject::Esc:
        pressEsc();
        break;
    case Inject::ClickCambiar:
        QTest::mouseClick(f->cmd_cambiar, Qt::LeftButton);
        break;
    case Inject::ClickBuscar:
        QTest::mouseClick(f->cmb_buscar, Qt::LeftButton);
        break;
    case Inject::ClickConexion:
        QTest::mouseClick(f->cmd_conexion, Qt::LeftButton);
        break;
    case Inject::PickDir:
        if (f->cmb_dir->isEnabled()) f->cmb_dir->setCurrentIndex(m_inj.arg);
        break;
    case Inject::Mode:
        setMode(com, Mode(m_inj.arg));
        break;
    default:
        break;
    }
}

// Runs a user's action from inside the event loop, as a click would come,
// and waits until it has returned.
void Walk::runInLoop(const std::function<void()>& action, int budgetMs) {
    bool done = false;
    QEventLoop loop;
    QTimer::singleShot(0, this, [&] {
        QElapsedTimer clock;
        clock.start();
        action();
        m_actionMs = clock.nsecsElapsed() / 1e6;
        done = true;
        loop.quit();
    });
    QTimer::singleShot(budgetMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (done) return;
    f->close(); // ends a wait that would not end; the mismatch is reported
    if (!QTest::qWaitFor([&] { return done; }, 5000)) qFatal("the window did not close");
}

QStringList Walk::viewOfWindow() const {
    const QWidget* panel2[] = {f->frm_det, f->lbl_ini, f->lbl_fin, f->lbl_rango, f->chk_aut};
    QString c2 = colourName(panel2[0]);
    for (const QWidget* w : panel2)
        if (colourName(w) != c2) c2 = QStringLiteral("mixed");
    QString box = Form1::BackColor(f->txt_ini) == Form1::COLOR_OK    ? QStringLiteral("OK")
                  : Form1::BackColor(f->txt_ini) == Form1::COLOR_BAD ? QStringLiteral("BAD")
                                                                     : QStringLiteral("BASE");
    if (Form1::BackColor(f->txt_ini) != Form1::BackColor(f->txt_fin)) box = QStringLiteral("mixed");
    const auto own = [](const QWidget* w) { return int(w->isEnabledTo(w->parentWidget())); };
    // Measured on the program's own thread, where a busy machine can only
    // lengthen a wait; the timer arms up to a millisecond early.
    const bool whole = m_actionMs >= m.waits * kWait - 1;
    const QWidget* focus = QApplication::focusWidget();
    QStringList added;
    for (int i = m_logMark; i < f->lst->count(); ++i) added << f->lst->line(i);
    return {
        QStringLiteral("status: ") + f->label->text(),
        QStringLiteral("caption: ") + f->cmd_conexion->text(),
        QStringLiteral("colours: %1 %2 %3").arg(colourName(f->frm_com), c2, colourName(f->frm_dir)),
        QStringLiteral("panels on: %1 %2 %3")
            .arg(f->frm_com->isEnabled())
            .arg(f->frm_det->isEnabled())
            .arg(f->frm_dir->isEnabled()),
        QStringLiteral("own on: com %1 boxes %2 %3 buttons %4 %5 %6 chk %7")
            .arg(own(f->cmb_com))
            .arg(own(f->txt_ini))
            .arg(own(f->txt_fin))
            .arg(own(f->cmd_conexion))
            .arg(own(f->cmb_buscar))
            .arg(own(f->cmd_cambiar))
            .arg(own(f->chk_aut)),
        QStringLiteral("range: %1 [%2] [%3] %4")
            .arg(f->chk_aut->isChecked())
            .arg(f->txt_ini->text(), f->txt_fin->text(), box),
        QStringLiteral("selected: %1 %2").arg(f->cmb_com->currentText(), f->cmb_dir->currentText()),
        QStringLiteral("log added: ") + added.join(QStringLiteral(" | ")),
        QStringLiteral("log selected: %1").arg(f->lst->currentRow() == f->lst->count() - 1),
        QStringLiteral("frames: ") + m_frames.join(QStringLiteral(", ")),
        whole ? QStringLiteral("whole waits: %1").arg(m.waits)
              : QStringLiteral("whole waits: %1 do not fit in %2 ms").arg(m.waits).arg(m_actionMs),
        QStringLiteral("bytes heard: %1, junk on the line: %2").arg(m_heard).arg(m_junk),
        QStringLiteral("focus on an enabled control: %1").arg(!focus || focus->isEnabled()),
    };
}

QStringList Walk::viewOfModel() const {
    const auto n = [](bool b) { return int(b); };
    const auto colour = [](bool active) {
        return active ? QStringLiteral("ACTIVE") : QStringLiteral("IDLE");
    };
    return {
        QStringLiteral("status: ") + m.status,
        QStringLiteral("caption: ") +
            (m.open ? QStringLiteral("Desconectar") : QStringLiteral("Conectar")),
        QStringLiteral("colours: %1 %2 %3").arg(colour(m.c1), colour(m.c2), colour(m.c3)),
        QStringLiteral("panels on: %1 %2 %3").arg(n(m.p1)).arg(n(m.p2)).arg(n(m.p3)),
        QStringLiteral("own on: com %1 boxes %2 %3 buttons 1 1 1 chk 1")
            .arg(n(m.comOn))
            .arg(n(!m.aut))
            .arg(n(!m.aut)),
        QStringLiteral("range: %1 [%2] [%3] %4").arg(n(m.aut)).arg(m.ini, m.fin, m.box),
        QStringLiteral("selected: COM%1 %2").arg(m.comSel + 1).arg(m.dirSel + 1),
        QStringLiteral("log added: ") + m.log.mid(m_logMark).join(QStringLiteral(" | ")),
        QStringLiteral("log selected: 1"),
        QStringLiteral("frames: ") + m.frames.join(QStringLiteral(", ")),
        QStringLiteral("whole waits: %1").arg(m.waits),
        QStringLiteral("bytes heard: %1, junk on the line: 0").arg(m.heard),
        QStringLiteral("focus on an enabled control: 1"),
    };
}

QString Walk::randomRangeText() {
    if (chance(50)) {
        const int near[] = {0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 6, 8, 12, 126, 127, 128};
        return QString::number(near[pick(std::size(near))]);
    }
    return QLatin1String(kTokens[pick(std::size(kTokens))].text);
}

// A click on a button, or Space or Enter on it when it has the focus; what
// the model expects it to do. Transactions run with an injection drawn
// against the frames the model predicts.
QString Walk::press(QAbstractButton* button, bool byKey) {
    const int key = chance(50) ? Qt::Key_Space : Qt::Key_Return;
    const QString how =
        byKey ? (key == Qt::Key_Space ? QStringLiteral("Space on ") : QStringLiteral("Enter on "))
              : QStringLiteral("click ");
    QString what = how + button->objectName();
    int frames = 0;
    m_inj = Injection();
    const auto model = [&](Model& x, const Injection& inj) {
        if (button == f->cmd_conexion && x.p1) {
            if (x.open)
                x.disconnectSteps();
            else
                x.connectSteps();
        } else if (button == f->cmb_buscar && x.p2) {
            const auto first = valueOf(x.ini), last = valueOf(x.fin);
            if (first && last && *first >= 1 && *first <= *last && *last <= 127) {
                x.search(*first, *last, inj);
            } else {
                x.status = kBadRange;
                x.box = QStringLiteral("BAD");
            }
        } else if (button == f->cmd_cambiar && x.p3) {
            x.change(inj);
        }
    };
    Model dry = m;
    model(dry, m_inj);
    frames = dry.frames.size() - m.frames.size();
    if (frames > 0 && (frames > kFrameCap || chance(60))) {
        const int limit = std::min(frames, kFrameCap);
        const Inject kinds[] = {Inject::Esc,         Inject::Esc,           Inject::Esc,
                                Inject::Pull,        Inject::ClickCambiar,  Inject::ClickCambiar,
                                Inject::ClickBuscar, Inject::ClickConexion, Inject::PickDir,
                                Inject::Mode};
        m_inj.kind = frames > kFrameCap ? Inject::Esc : kinds[pick(std::size(kinds))];
        // Often the last frame: Esc then lands while the answering relay's
        // reply is in.
        m_inj.at = chance(40) ? limit - 1 : pick(limit);
        m_inj.phase = pick(3);
        // Only manners that keep the search short: eight, standard, late.
        const Mode quick[] = {Mode::Eight, Mode::Standard, Mode::Late};
        m_inj.arg = m_inj.kind == Inject::Mode ? int(quick[pick(3)]) : pick(127);
        what += QStringLiteral(" [at frame %1: %2 %3/%4]")
                    .arg(m_inj.at)
                    .arg(int(m_inj.kind))
                    .arg(m_inj.phase)
                    .arg(m_inj.arg);
    }
    model(m, m_inj);
    runInLoop(
        [&] {
            if (byKey)
                QTest::keyClick(button, Qt::Key(key));
            else
                QTest::mouseClick(button, Qt::LeftButton);
        },
        frames * kWait * 3 + 3000);
    return what;
}

// Draws and runs one step on both sides; returns its description.
QString Walk::step() {
    // The lines' events come at random; the user's actions mostly where
    // they do something, now and then where they must do nothing.
    const int weights[] = {
        m.comOn && m.p1 ? 3 : 1, // pick a COM
        m.p1 ? 2 : 1,            // Conectar or Desconectar
        m.p2 ? 2 : 1,            // toggle the automatic range
        m.p2 && !m.aut ? 4 : 1,  // type a range
        m.p2 ? 5 : 1,            // Buscar
        m.p3 ? 3 : 1,            // pick an address
        m.p3 ? 6 : 1,            // Cambiar
        3,                       // a key on the focused control
        2,                       // an adapter pulled or plugged back
        3,                       // relays added, removed, moved
        2,                       // relays change their manner
        m.open ? 3 : 0,          // bytes nobody asked for
    };
    int draw = pick(std::accumulate(std::begin(weights), std::end(weights), 0));
    int action = 0;
    while (draw >= weights[action]) draw -= weights[action++];
    const int com = m.open && (action == 11 || chance(70)) ? m.openCom : 1 + pick(2);
    Lane& lane = m_lanes[com];
    Bus& bus = m.bus[com];
    switch (action) {
    case 0: {
        const int i = chance(70) ? pick(2) : pick(4);
        if (f->cmb_com->isEnabled()) f->cmb_com->setCurrentIndex(i);
        if (m.comOn && m.p1) m.comSel = i;
        return QStringLiteral("pick COM%1").arg(i + 1);
    }
    case 1:
        return press(f->cmd_conexion, false);
    case 2:
        f->chk_aut->click();
        if (m.p2) {
            m.aut = !m.aut;
            if (m.aut) {
                m.ini = QStringLiteral("1");
                m.fin = QStringLiteral("127");
            }
        }
        return QStringLiteral("toggle chk_aut");
    case 3: {
        const bool first = chance(50);
        QLineEdit* box = first ? f->txt_ini : f->txt_fin;
        const QString text = randomRangeText();
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, text);
        if (m.p2 && !m.aut) (first ? m.ini : m.fin) = text.left(3);
        return QStringLiteral("type [%1] in %2").arg(text, box->objectName());
    }
    case 4:
        return press(f->cmb_buscar, false);
    case 5: {
        const int i = chance(50) ? pick(12) : pick(127);
        if (f->cmb_dir->isEnabled()) f->cmb_dir->setCurrentIndex(i);
        if (m.p3) m.dirSel = i;
        return QStringLiteral("pick address %1").arg(i + 1);
    }
    case 6:
        return press(f->cmd_cambiar, false);
    case 7: {
        auto* button = qobject_cast<QAbstractButton*>(QApplication::focusWidget());
        if (button == f->cmd_conexion || button == f->cmb_buscar || button == f->cmd_cambiar)
            return press(button, true);
        if (chance(30)) {
            pressEsc();
            return QStringLiteral("Esc");
        }
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : f.get(),
                        Qt::Key_Tab);
        return QStringLiteral("Tab");
    }
    case 8:
        if (lane.line) {
            pull(com);
            m.pulled.insert(com);
            if (m.open && m.openCom == com) m.portLost();
            return QStringLiteral("pull COM%1").arg(com);
        }
        plug(com);
        return QStringLiteral("plug COM%1 back").arg(com);
    case 9: {
        std::set<int> relays = bus.relays;
        const int a = 1 + pick(chance(80) ? 4 : 127);
        if (relays.empty() || chance(40)) {
            relays.insert(a);
        } else {
            auto it = relays.begin();
            std::advance(it, pick(static_cast<int>(relays.size())));
            relays.erase(it);
            if (chance(50)) relays.insert(a); // moved
        }
        setRelays(com, relays);
        QStringList list;
        for (int r : relays) list << QString::number(r);
        return QStringLiteral("COM%1 relays {%2}").arg(com).arg(list.join(','));
    }
    case 10: {
        const Mode mode = chance(50) ? Mode::Eight : Mode(pick(5));
        setMode(com, mode);
        bus.mode = mode;
        return QStringLiteral("COM%1 relays %2").arg(com).arg(kModeNames[int(mode)]);
    }
    default: {
        // Bytes nobody asked for, while the window listens and no exchange
        // runs: junk, or a whole reply that a next request might match.
        if (!lane.line) return QStringLiteral("nothing unasked");
        const auto first = valueOf(m.ini);
        const int a = chance(50) && first ? std::clamp(*first, 1, 127) : 1 + pick(8);
        QByteArray bytes;
        if (chance(40))
            for (int i = 1 + pick(6); i > 0; --i) bytes.append(char(pick(256)));
        else
            bytes = ScriptedRelay::readReply(
                a, a, chance(50) ? ScriptedRelay::Layout::Standard : ScriptedRelay::Layout::Eight);
        m.store(bytes);
        lane.line->relay->send(bytes);
        return QStringLiteral("COM%1 unasked %2").arg(com).arg(QString::fromLatin1(bytes.toHex()));
    }
    }
}

QString Walk::run(int steps) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    m.bus[1].relays = {1 + pick(6)};
    m.bus[2].relays = {1 + pick(6)};
    plug(1);
    plug(2);
    qputenv("ORVANT_COM3", kMissing.toLatin1());
    m_held = std::make_unique<Line>(4);
    m_holder = std::make_unique<QSerialPort>(m_held->pty.slavePath());
    if (!m_holder->open(QIODevice::ReadWrite)) return QStringLiteral("cannot hold COM4");
    m.heldDevice = QFileInfo(m_held->pty.slavePath()).fileName();
    f = std::make_unique<Form1>(kWait);
    if (QApplication::palette().color(QPalette::Base) == Form1::COLOR_OK)
        m.box = QStringLiteral("OK");
    connect(f->link->MSComm1, &MSComm::OnComm, this,
            [this](const QByteArray& b) { m_heard += b.size(); });
    f->show();
    f->activateWindow();
    if (!QTest::qWaitForWindowActive(f.get())) return QStringLiteral("window not active");

    std::deque<QString> recent;
    for (int i = 0; i < steps; ++i) {
        m_logMark = f->lst->count();
        m.frames.clear();
        m_frames.clear();
        m_actionMs = 0;
        m.waits = 0;
        m_frame = 0;
        m_inj = Injection();
        const QString what = step();
        m_totalFrames += m.frames.size();
        recent.push_back(QStringLiteral("%1: %2").arg(i).arg(what));
        if (recent.size() > 20) recent.pop_front();
        // Events the step set off (a lost port, bytes in) are waited for.
        const QStringList want = viewOfModel();
        const bool ok = settle([&] { return viewOfWindow() == want; }, 1500);
        if (ok) continue;
        const QStringList got = viewOfWindow();
        QString report =
            QStringLiteral("seed %1, step %2 (%3)\nlast steps:\n").arg(m_seed).arg(i).arg(what);
        for (const QString& s : recent) report += QStringLiteral("  ") + s + '\n';
        for (int k = 0; k < want.size(); ++k)
            if (want[k] != got.value(k))
                report += QStringLiteral("model:  %1\nwindow: %2\n").arg(want[k], got.value(k));
        return report;
    }
    return {};
}

namespace {

int envInt(const char* name, int fallback) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}

} // namespace

class TestWalk : public QObject {
    Q_OBJECT
private slots:
    void walk() {
        const int seed = envInt("ORVANT_WALK_SEED", 1);
        const int seeds = envInt("ORVANT_WALK_SEEDS", 1);
        const int steps = envInt("ORVANT_WALK_STEPS", 2000);
        if (seeds == 1) {
            QElapsedTimer clock;
            clock.start();
            Walk w(static_cast<quint32>(seed));
            const QString report = w.run(steps);
            if (!report.isEmpty()) QFAIL(qPrintable(report));
            qInfo("seed %d: %d steps, %d frames in %.1f s", seed, steps, w.framesSent(),
                  clock.elapsed() / 1000.0);
            return;
        }
        // Each seed in a process of its own, a few at a time: the walks
        // spend most of their time waiting for replies, and so share the
        // cores, but too many would make the replies late.
        const int jobs = envInt("ORVANT_WALK_JOBS", 5);
        int failed = 0;
        for (int s = seed; s < seed + seeds; s += jobs) {
            std::vector<std::unique_ptr<QProcess>> runs;
            for (int k = s; k < std::min(s + jobs, seed + seeds); ++k) {
                auto p = std::make_unique<QProcess>();
                QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
                env.insert(QStringLiteral("ORVANT_WALK_SEED"), QString::number(k));
                env.insert(QStringLiteral("ORVANT_WALK_SEEDS"), QStringLiteral("1"));
                p->setProcessEnvironment(env);
                p->setProcessChannelMode(QProcess::MergedChannels);
                p->start(QCoreApplication::applicationFilePath(), {QStringLiteral("walk")});
                runs.push_back(std::move(p));
            }
            for (auto& p : runs) {
                p->waitForFinished(-1);
                const QByteArray out = p->readAll();
                const bool ok = p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
                failed += ok ? 0 : 1;
                for (const QByteArray& line : out.split('\n'))
                    if (line.contains("steps,"))
                        qInfo("%s", line.mid(line.indexOf("seed")).constData());
                if (!ok) qWarning("%s", out.constData());
            }
        }
        QCOMPARE(failed, 0);
    }
};

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    // Every open and loss would be reported; thousands of them say nothing here.
    QLoggingCategory::setFilterRules(QStringLiteral("orvant.serial.warning=false"));
    TestWalk test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_walk.moc"
