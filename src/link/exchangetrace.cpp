#include "link/exchangetrace.h"

#include <algorithm>

namespace {

uint8_t capped(size_t n) {
    return static_cast<uint8_t>(std::min<size_t>(n, 255));
}

void putBytes(QByteArray& out, const QByteArray& bytes) {
    const uint8_t n = capped(size_t(bytes.size()));
    out.append(char(n));
    out.append(bytes.constData(), n);
}

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// Reads from a packed trace; every read past the end fails and stays failed.
struct Reader {
    const QByteArray& in;
    qsizetype at = 0;
    bool ok = true;

    uint8_t byte() {
        if (at >= in.size()) ok = false;
        return ok ? uint8_t(in[at++]) : 0;
    }
    QByteArray bytes() {
        const uint8_t n = byte();
        if (at + n > in.size()) ok = false;
        if (!ok) return {};
        const QByteArray out = in.mid(at, n);
        at += n;
        return out;
    }
};

} // namespace

QByteArray ExchangeTrace::pack() const {
    QByteArray out;
    if (attempts.empty()) return out;
    out.append(char(capped(attempts.size())));
    for (size_t a = 0; a < capped(attempts.size()); ++a) {
        const Attempt& attempt = attempts[a];
        putBytes(out, attempt.sent);
        out.append(char(capped(attempt.received.size())));
        for (size_t c = 0; c < capped(attempt.received.size()); ++c) {
            const Chunk& chunk = attempt.received[c];
            // The arrival in 100 µs steps, up to 6.5 s, and the echo mark in
            // the top bit.
            const uint32_t steps = std::min<uint32_t>(chunk.afterUs / 100, 0x7fff);
            const uint16_t word = uint16_t(steps | (chunk.echo ? 0x8000u : 0u));
            out.append(char(word & 0xff));
            out.append(char(word >> 8));
            putBytes(out, chunk.bytes);
        }
    }
    return out;
}

ExchangeTrace ExchangeTrace::unpack(const QByteArray& packed) {
    ExchangeTrace trace;
    Reader r{packed};
    const uint8_t count = r.byte();
    for (uint8_t a = 0; r.ok && a < count; ++a) {
        Attempt attempt;
        attempt.sent = r.bytes();
        const uint8_t chunks = r.byte();
        for (uint8_t c = 0; r.ok && c < chunks; ++c) {
            const uint16_t word = uint16_t(r.byte() | (r.byte() << 8));
            Chunk chunk;
            chunk.afterUs = uint32_t(word & 0x7fff) * 100;
            chunk.echo = word & 0x8000;
            chunk.bytes = r.bytes();
            if (r.ok) attempt.received.push_back(chunk);
        }
        if (r.ok) trace.attempts.push_back(attempt);
    }
    return trace;
}

QString ExchangeTrace::describe() const {
    QStringList lines;
    int n = 0;
    for (const Attempt& attempt : attempts) {
        QString line = QStringLiteral("INTENTO %1: ENVIADO %2").arg(++n).arg(hex(attempt.sent));
        if (attempt.received.empty()) line += QStringLiteral("; NADA RECIBIDO");
        for (const Chunk& chunk : attempt.received)
            line += QStringLiteral("; %1 MS: %2%3")
                        .arg(chunk.afterUs / 1000.0, 0, 'f', 1)
                        .arg(hex(chunk.bytes))
                        .arg(chunk.echo ? QStringLiteral(" (ECO DEL ADAPTADOR)") : QString());
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}
