#pragma once

#include <QByteArray>
#include <QStringList>
#include <QString>
#include <cstdint>
#include <vector>

// What one exchange carried, attempt by attempt: kept behind the outcome
// line in the log, for its tooltip and for support.
struct ExchangeTrace {
    struct Chunk {
        uint32_t afterUs = 0; // arrival, counted from the frame's write
        bool echo = false;    // the adapter's copy of the frame, not a reply
        QByteArray bytes;
    };
    struct Attempt {
        QByteArray sent;
        std::vector<Chunk> received;
    };
    std::vector<Attempt> attempts;

    bool empty() const { return attempts.empty(); }

    // A compact form for the log to keep per line: empty for an empty trace.
    // Counts and lengths beyond 255 are cut there.
    QByteArray pack() const;
    // Reads what pack() wrote; anything malformed ends the trace early.
    static ExchangeTrace unpack(const QByteArray& packed);
    // Upper-case Spanish text, one line per attempt.
    QString describe() const;
};
