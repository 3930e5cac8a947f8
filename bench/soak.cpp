// Soak: many transactions against the scripted relay bus with noise,
// dropped, late and delayed replies. Checks that nothing crashes, that
// every "CORRECTO" answers a reply the bus really sent for that request,
// that each transaction logs two lines, and how memory grows.
//   soak [TRANSACTIONS] [WAIT_MS]      (default 10000 transactions, 8 ms)

#include "link/intervaltimer.h"
#include "link/modbuslink.h"
#include "link/mscomm.h"
#include "procstatus.h"
#include "pty.h"
#include "scriptedrelay.h"
#include "ui/form1.h"

#include "ui/loglist.h"
#include <QApplication>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTextStream>
#include <QTimer>
#include <malloc.h>

namespace {

QTextStream out(stdout);

long rssKb() {
    return statusKb(QStringLiteral("self"), "VmRSS");
}

struct Reply {
    double at;
    QByteArray request;
    bool used = false;
};

// Bytes the program holds on the heap: unlike the resident size, this does
// not move with the allocator's caching or fragmentation.
long heapKb() {
    return long(mallinfo2().uordblks / 1024);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const int total = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;
    const int waitMs = argc > 2 ? QByteArray(argv[2]).toInt() : 8;

    Pty pty;
    ScriptedRelay bus(pty.masterFd());
    bus.keepRecords = false;
    bus.addRelay(5);
    bus.addRelay(9);
    qputenv("ORVANT_COM1", pty.slavePath().toLocal8Bit());

    QRandomGenerator rng(20261208);
    QList<Reply> replies;
    int drops = 0, lates = 0, delayed = 0, noiseBursts = 0, answered = 0;

    // Every request meets a fault by chance; what the bus really sends is recorded.
    bus.script = [&](const QByteArray& request, int) {
        if (rng.generateDouble() < 0.15) {
            ++noiseBursts;
            QByteArray noise;
            for (int i = 0, n = 1 + rng.bounded(3); i < n; ++i)
                noise.append(static_cast<char>(rng.bounded(256)));
            bus.sendAfter(rng.bounded(waitMs * 2), noise);
        }
        const QByteArray reply = bus.answer(request);
        if (reply.isEmpty()) return true;
        const double fate = rng.generateDouble();
        int delay = 0;
        if (fate < 0.2) {
            ++drops;
            return true;
        } else if (fate < 0.3) {
            ++lates;
            delay = waitMs + 2 + rng.bounded(5);
        } else if (fate < 0.6) {
            ++delayed;
            delay = rng.bounded(qMax(1, waitMs * 7 / 10));
        }
        ++answered;
        QTimer::singleShot(delay, Qt::PreciseTimer, &bus, [&, reply, request] {
            bus.send(reply);
            replies.append({bus.nowMs(), request});
        });
        return true;
    };

    Form1 f(waitMs);
    f.show();
    f.cmd_conexion->click();
    if (!f.link->MSComm1->PortOpen()) qFatal("cannot open the line");

    int correct = 0, failed = 0, falseCorrect = 0;
    QList<long> rss, heap;
    const long rssStart = rssKb();
    for (int n = 1; n <= total; ++n) {
        const double pick = rng.generateDouble();
        const int address = pick < 0.45 ? 5 : pick < 0.8 ? 9 : 1 + rng.bounded(127);
        const bool write = rng.generateDouble() < 0.2;
        // Writes keep each relay at its address, so that the bus stays the same.
        const uint8_t result = write
                                   ? f.link->Modbus(uint8_t(address), 6, 0, 3, 0, uint8_t(address))
                                   : f.link->Modbus(uint8_t(address), 3, 0, 3, 0, 1);
        const double end = bus.nowMs();
        const QByteArray frame(reinterpret_cast<const char*>(f.link->TxBuf.data()), 8);
        // A reply is judged within a few waits of arriving; older ones can go.
        while (!replies.isEmpty() && replies.first().at < end - 1000) replies.removeFirst();
        if (result == 0) {
            ++correct;
            bool matched = false;
            for (Reply& r : replies) {
                if (!r.used && r.at <= end && r.request == frame) {
                    r.used = matched = true;
                    break;
                }
            }
            if (!matched) {
                ++falseCorrect;
                out << "FALSE CORRECTO at transaction " << n << ": " << frame.toHex(' ')
                    << Qt::endl;
            }
        } else {
            ++failed;
        }
        if (n % 1000 == 0) {
            rss << rssKb();
            heap << heapKb();
            out << "  " << n << " transactions, RSS " << rss.last() << " kB, heap in use "
                << heap.last() << " kB" << Qt::endl;
        }
    }
    const int lines = f.lst->count();

    // What the same number of log lines costs on their own, as a yardstick.
    const long before = rssKb();
    const long heapBefore = heapKb();
    // A second window's log, appended exactly as the transactions append.
    Form1 control(waitMs);
    control.show();
    for (int i = 0; i < lines; ++i) {
        // Built at run time like the transaction's own lines, so on the heap.
        control.logLine(i % 2 ? QStringLiteral("---------> NO RESPONDE")
                              : QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(i % 127 + 1));
        if (i % 64 == 0) QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    const long controlGrowth = rssKb() - before;
    const long controlHeap = heapKb() - heapBefore;

    const long growth = rss.isEmpty() ? 0 : rss.last() - rss.first();
    const long heapGrowth = heap.isEmpty() ? 0 : heap.last() - heap.first();
    // The log lines added between the first and the last sample.
    const double share = rss.isEmpty() ? 0 : double(total - 1000) / total;
    out << Qt::endl
        << "transactions " << total << " (reply wait " << waitMs << " ms)" << Qt::endl
        << "  CORRECTO " << correct << ", NO RESPONDE " << failed << Qt::endl
        << "  bus: requests " << bus.requestCount() << ", replies sent " << answered << " (delayed "
        << delayed << ", late " << lates << "), dropped " << drops << ", noise bursts "
        << noiseBursts << Qt::endl
        << "  CORRECTO without a matching reply: " << falseCorrect << Qt::endl
        << "  log lines " << lines << " (expected " << 2 * total << ")" << Qt::endl
        << "  RSS start " << rssStart << " kB, after 1000 " << (rss.isEmpty() ? 0 : rss.first())
        << " kB, end " << (rss.isEmpty() ? 0 : rss.last()) << " kB" << Qt::endl
        << "  growth from 1000 to the end: RSS " << growth << " kB, heap " << heapGrowth
        << " kB; the log lines added meanwhile cost alone about RSS " << long(controlGrowth * share)
        << " kB, heap " << long(controlHeap * share) << " kB" << Qt::endl;

    const bool ok = falseCorrect == 0 && lines == 2 * total;
    out << (ok ? "soak: PASS" : "soak: FAIL") << Qt::endl;
    return ok ? 0 : 1;
}
