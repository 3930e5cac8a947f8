#include "scriptedrelay.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cmath>
#include <unistd.h>

namespace {

quint16 crc16(const QByteArray& bytes) {
    quint16 crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= static_cast<quint8>(c);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0xA001)
                            : static_cast<quint16>(crc >> 1);
    }
    return crc;
}

bool checkValueRight(const QByteArray& frame) {
    const quint16 crc = crc16(frame.left(frame.size() - 2));
    return static_cast<quint8>(frame.at(frame.size() - 2)) == (crc & 0xFF) &&
           static_cast<quint8>(frame.at(frame.size() - 1)) == (crc >> 8);
}

} // namespace

ScriptedRelay::ScriptedRelay(int masterFd, QObject* parent)
    : QObject(parent), m_fd(masterFd),
      m_notifier(new QSocketNotifier(masterFd, QSocketNotifier::Read, this)) {
    m_clock.start();
    connect(m_notifier, &QSocketNotifier::activated, this, &ScriptedRelay::onReadable);
}

ScriptedRelay::~ScriptedRelay() = default;

QByteArray ScriptedRelay::withCrc(QByteArray frame) {
    const quint16 crc = crc16(frame);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

QByteArray ScriptedRelay::request(int address, int function, int d0, int d1, int d2, int d3) {
    QByteArray f;
    for (int b : {address, function, d0, d1, d2, d3}) f.append(static_cast<char>(b));
    return withCrc(f);
}

QByteArray ScriptedRelay::readReply(int address, int value, Layout layout) {
    QByteArray f;
    f.append(static_cast<char>(address));
    f.append(char(3));
    f.append(char(2));
    f.append(static_cast<char>((value >> 8) & 0xFF));
    f.append(static_cast<char>(value & 0xFF));
    // The tool's own layout carries one more byte before the check value.
    if (layout == Layout::Eight) f.append(char(0));
    return withCrc(f);
}

QByteArray ScriptedRelay::exceptionReply(int address, int function, int code) {
    QByteArray f;
    f.append(static_cast<char>(address));
    f.append(static_cast<char>(function | 0x80));
    f.append(static_cast<char>(code));
    return withCrc(f);
}

void ScriptedRelay::send(const QByteArray& bytes) {
    if (m_fd < 0 || bytes.isEmpty()) return;
    deliver(bytes);
    if (keepRecords) sent.append({nowMs(), bytes});
    emit wrote(bytes);
}

void ScriptedRelay::deliver(const QByteArray& bytes) {
    if (burstMs > 0) {
        // The adapter hands on what it holds at each tick of its timer.
        if (m_burst.isEmpty()) {
            const double now = nowMs();
            const int toTick = int(burstMs - std::fmod(now, burstMs)) + 1;
            QTimer::singleShot(toTick, Qt::PreciseTimer, this, [this] {
                const QByteArray held = m_burst;
                m_burst.clear();
                writeOut(held);
            });
        }
        m_burst += bytes;
        return;
    }
    writeOut(bytes);
}

void ScriptedRelay::writeOut(const QByteArray& bytes) {
    if (m_fd < 0) return;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the line is gone or full; a real bus loses bytes too
        done += n;
    }
}

void ScriptedRelay::sendAfter(int ms, const QByteArray& bytes) {
    if (ms <= 0) {
        send(bytes);
        return;
    }
    QTimer::singleShot(ms, Qt::PreciseTimer, this, [this, bytes] { send(bytes); });
}

void ScriptedRelay::onReadable() {
    char buf[512];
    const ssize_t n = ::read(m_fd, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        // No slave side open any more: stop listening rather than spin.
        m_notifier->setEnabled(false);
        return;
    }
    const double at = nowMs();
    if (keepRecords) received.append({at, QByteArray(buf, n)});
    if (echo) deliver(QByteArray(buf, n));
    m_pending.append(buf, n);
    // Requests are 8 bytes; skip a byte at a time until a check value fits.
    while (m_pending.size() >= 8) {
        const QByteArray candidate = m_pending.left(8);
        if (!checkValueRight(candidate)) {
            emit junk(m_pending.left(1));
            m_pending.remove(0, 1);
            continue;
        }
        m_pending.remove(0, 8);
        ++m_requestCount;
        if (keepRecords) requests.append({at, candidate});
        emit requestReceived(candidate);
        handle(candidate);
    }
}

void ScriptedRelay::handle(const QByteArray& req) {
    if (script && script(req, m_requestCount - 1)) return;
    if (silent) return;
    if (dropRate > 0 && m_random.generateDouble() < dropRate) return;
    const QByteArray reply = answer(req);
    if (reply.isEmpty()) return;
    QByteArray out = twin ? collide(reply, reply) : reply;
    if (garble)
        for (char& c : out) c = static_cast<char>(~c);
    if (noiseRate > 0 && m_random.generateDouble() < noiseRate) {
        const int count = 1 + m_random.bounded(4);
        for (int i = 0; i < count; ++i) out.append(static_cast<char>(m_random.bounded(256)));
    }
    sendAfter(delayMs, out);
}

QByteArray ScriptedRelay::collide(const QByteArray& a, const QByteArray& b, int lagBits) {
    // Each byte on the wire: a start bit (0), eight data bits from the
    // lowest, a stop bit (1); the line idles at 1.
    auto bits = [](const QByteArray& bytes, int lead) {
        QList<bool> line(lead, true);
        for (char c : bytes) {
            line << false;
            for (int i = 0; i < 8; ++i) line << bool((quint8(c) >> i) & 1);
            line << true;
        }
        return line;
    };
    const QList<bool> first = bits(a, 0);
    const QList<bool> second = bits(b, lagBits);
    QList<bool> line;
    for (qsizetype i = 0; i < qMax(first.size(), second.size()); ++i)
        line << (first.value(i, true) && second.value(i, true));
    // Read back as a receiver does: a byte starts at each falling edge.
    QByteArray out;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i]) continue;
        quint8 c = 0;
        for (int k = 0; k < 8; ++k)
            if (line.value(i + 1 + k, true)) c |= quint8(1u << k);
        out.append(static_cast<char>(c));
        i += 9; // the stop bit, whatever it reads
    }
    return out;
}

QByteArray ScriptedRelay::answer(const QByteArray& req) {
    const int address = static_cast<quint8>(req.at(0));
    if (!m_relays.contains(address)) return {};
    const int function = static_cast<quint8>(req.at(1));
    if (exception > 0) return exceptionReply(address, function, exception);
    const int reg = (static_cast<quint8>(req.at(2)) << 8) | static_cast<quint8>(req.at(3));
    const int value = (static_cast<quint8>(req.at(4)) << 8) | static_cast<quint8>(req.at(5));
    if (function == 3) {
        if (reg != 3 || value != 1) return exceptionReply(address, function, 2);
        return readReply(address, m_relays.value(address), layout);
    }
    if (function == 6) {
        if (reg != 3) return exceptionReply(address, function, 2);
        if (value < 1 || value > 127) // "illegal data value"
            return exceptionReply(address, function, 3);
        m_relays.remove(address);
        m_relays.insert(value, value);
        emit addressChanged(address, value);
        return req; // the echo
    }
    return exceptionReply(address, function, 1);
}
