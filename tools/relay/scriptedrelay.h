#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QRandomGenerator>
#include <functional>

class QSocketNotifier;

// Plays a bus of relays on the master side of a serial line, driven by the
// event loop of the process that holds it. Each relay answers only
// well-formed requests with a right check value for its own address:
// "read holding register 3" with its address, "write single register 3"
// with the echo, after which the written value is its new address.
class ScriptedRelay : public QObject {
    Q_OBJECT
public:
    enum class Layout {
        Eight,    // the 8-byte reply the configuration tool was designed around
        Standard, // the standard 7-byte Modbus reply
    };

    struct Chunk {
        double atMs; // since the relay was created
        QByteArray bytes;
    };

    explicit ScriptedRelay(int masterFd, QObject* parent = nullptr);
    ~ScriptedRelay() override;

    // The relays on the bus, by address (their register 3).
    QList<int> addresses() const { return m_relays.keys(); }
    void addRelay(int address) { m_relays.insert(address, address); }
    void clearRelays() { m_relays.clear(); }

    Layout layout = Layout::Eight;
    int delayMs = 0;      // before every reply
    bool silent = false;  // hears everything, answers nothing
    double dropRate = 0;  // share of requests left unanswered
    double noiseRate = 0; // chance of random bytes after a reply

    // Faults of the line and the bus.
    bool echo = false;   // the adapter returns every byte the tool writes
    bool garble = false; // replies arrive with every bit inverted (A/B swapped)
    int exception = 0;   // above 0: the relays answer with this exception code
    bool twin = false;   // a second relay at each address answers at once
    int burstMs = 0;     // above 0: the tool hears bytes only every burstMs

    // Called for every well-formed request (right check value, any address)
    // before the bus sees it; returning true means the script handled it.
    std::function<bool(const QByteArray& request, int index)> script;

    // Whether sent, received and requests below are kept; a long run that
    // only needs the signals turns this off to keep its memory flat.
    bool keepRecords = true;
    // What the relays sent, each write with its time.
    QList<Chunk> sent;
    // Every chunk read from the line, with its time.
    QList<Chunk> received;
    // The well-formed requests, with the time their last byte was read.
    QList<Chunk> requests;

    int requestCount() const { return m_requestCount; }
    double nowMs() const { return m_clock.nsecsElapsed() / 1e6; }

    // Writes to the line now, or after ms milliseconds.
    void send(const QByteArray& bytes);
    void sendAfter(int ms, const QByteArray& bytes);

    // What the bus makes of two replies sent at once, the second a few bit
    // times behind the first: a low bit of either wins.
    static QByteArray collide(const QByteArray& a, const QByteArray& b, int lagBits = 3);

    // Frame helpers.
    static QByteArray withCrc(QByteArray frame);
    static QByteArray request(int address, int function, int d0, int d1, int d2, int d3);
    static QByteArray readReply(int address, int value, Layout layout);
    static QByteArray exceptionReply(int address, int function, int code);
    // What the bus answers to a request, and what it does to the relays.
    QByteArray answer(const QByteArray& request);

    // Seeds the generator behind drops and noise, for repeatable runs.
    void seed(quint32 s) { m_random.seed(s); }

signals:
    void requestReceived(const QByteArray& request);
    // Bytes went out on the line: replies, noise, scripted writes.
    void wrote(const QByteArray& bytes);
    // Bytes came in that make no well-formed request.
    void junk(const QByteArray& bytes);
    void addressChanged(int from, int to);

private:
    void onReadable();
    // Puts bytes on the tool's side of the line, through the latency timer
    // of an adapter when there is one.
    void deliver(const QByteArray& bytes);
    void writeOut(const QByteArray& bytes);
    void handle(const QByteArray& request);

    int m_fd;
    QSocketNotifier* m_notifier;
    QElapsedTimer m_clock;
    QByteArray m_pending;
    QByteArray m_burst;      // held until the next tick of the latency timer
    QMap<int, int> m_relays; // address -> register 3
    int m_requestCount = 0;
    QRandomGenerator m_random{12345};
};
