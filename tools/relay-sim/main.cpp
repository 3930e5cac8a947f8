// orvant-relay-sim: a bus of relays on a pseudo-terminal, for trying and
// testing orvant-address without hardware.

#include "pty.h"
#include "scriptedrelay.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

[[noreturn]] void usageError(const QString& message) {
    QTextStream(stderr) << "orvant-relay-sim: " << message << " (see orvant-relay-sim --help)"
                        << Qt::endl;
    std::exit(2);
}

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

double parseRate(const QString& text, const char* option) {
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || v < 0.0 || v > 1.0)
        usageError(QStringLiteral("--%1 takes a share between 0 and 1, not '%2'")
                       .arg(QLatin1String(option), text));
    return v;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvant-relay-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays ORVANT relays on a pseudo-terminal and prints the path of its "
                       "serial side. Point orvant-address at it with ORVANT_COM1=PATH."));
    parser.addHelpOption();
    const QCommandLineOption link(QStringLiteral("link"),
                                  QStringLiteral("Also make a symlink to the serial side at PATH "
                                                 "(removed on exit)."),
                                  QStringLiteral("PATH"));
    const QCommandLineOption relay(QStringLiteral("relay"),
                                   QStringLiteral("A relay at ADDR, 1..247 (repeatable; default "
                                                  "one relay at 5)."),
                                   QStringLiteral("ADDR"));
    const QCommandLineOption layout(QStringLiteral("layout"),
                                    QStringLiteral("Reply to reads with the 'eight' byte layout "
                                                   "(default) or the 'standard' 7-byte one."),
                                    QStringLiteral("LAYOUT"), QStringLiteral("eight"));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Wait MS milliseconds before each reply."),
                                   QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Never answer."));
    const QCommandLineOption late(QStringLiteral("late"),
                                  QStringLiteral("Answer only after the tool's 500 ms wait."));
    const QCommandLineOption noise(QStringLiteral("noise"),
                                   QStringLiteral("Chance (0..1) of random bytes after a reply."),
                                   QStringLiteral("RATE"), QStringLiteral("0"));
    const QCommandLineOption drop(QStringLiteral("drop"),
                                  QStringLiteral("Share (0..1) of requests left unanswered."),
                                  QStringLiteral("RATE"), QStringLiteral("0"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed for --noise and --drop."),
                                  QStringLiteral("N"), QStringLiteral("1"));
    // The line's own faults.
    const auto fault = [](const char* name, const char* help, const char* value = nullptr) {
        return value ? QCommandLineOption(QLatin1String(name), QLatin1String(help),
                                          QLatin1String(value))
                     : QCommandLineOption(QLatin1String(name), QLatin1String(help));
    };
    const QCommandLineOption echo = fault(
        "echo", "Return every byte the tool sends, as a 2-wire adapter that hears itself does.");
    const QCommandLineOption garble =
        fault("garble", "Invert every bit of each reply, as swapped A/B wires do.");
    const QCommandLineOption exception =
        fault("exception", "Answer every request with Modbus exception CODE, 1..255.", "CODE");
    const QCommandLineOption twin =
        fault("twin", "Two relays at each address answer at once; the bus merges their bytes.");
    const QCommandLineOption burst = fault("burst",
                                           "Deliver bytes to the tool only every MS milliseconds, "
                                           "as a USB adapter's latency timer does (16 is common).",
                                           "MS");
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print every frame both ways and each address "
                                                    "change, one line each."));
    parser.addOptions({link, relay, layout, delay, silent, late, noise, drop, seed, echo, garble,
                       exception, twin, burst, verbose});

    if (!parser.parse(app.arguments())) usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    QList<int> addresses;
    for (const QString& a : parser.values(relay)) {
        bool ok = false;
        const int v = a.toInt(&ok);
        if (!ok || v < 1 || v > 247)
            usageError(QStringLiteral("--relay takes an address 1..247, not '%1'").arg(a));
        addresses << v;
    }
    if (addresses.isEmpty()) addresses << 5;

    const QString layoutName = parser.value(layout);
    if (layoutName != QLatin1String("eight") && layoutName != QLatin1String("standard"))
        usageError(QStringLiteral("--layout is 'eight' or 'standard', not '%1'").arg(layoutName));
    bool ok = false;
    const int delayMs = parser.value(delay).toInt(&ok);
    if (!ok || delayMs < 0 || delayMs > 60000)
        usageError(QStringLiteral("--delay takes 0..60000 ms, not '%1'").arg(parser.value(delay)));
    if (parser.isSet(late) && parser.isSet(delay))
        usageError(QStringLiteral("--late and --delay cannot be combined"));
    const double noiseRate = parseRate(parser.value(noise), "noise");
    const double dropRate = parseRate(parser.value(drop), "drop");
    const quint32 seedValue = parser.value(seed).toUInt(&ok);
    if (!ok)
        usageError(QStringLiteral("--seed takes a whole number, not '%1'").arg(parser.value(seed)));

    int exceptionCode = 0;
    if (parser.isSet(exception)) {
        exceptionCode = parser.value(exception).toInt(&ok);
        if (!ok || exceptionCode < 1 || exceptionCode > 255)
            usageError(QStringLiteral("--exception takes a code 1..255, not '%1'")
                           .arg(parser.value(exception)));
    }
    int burstMs = 0;
    if (parser.isSet(burst)) {
        burstMs = parser.value(burst).toInt(&ok);
        if (!ok || burstMs < 1 || burstMs > 1000)
            usageError(
                QStringLiteral("--burst takes 1..1000 ms, not '%1'").arg(parser.value(burst)));
    }

    Pty pty;
    if (!pty.isValid()) {
        QTextStream(stderr) << "orvant-relay-sim: cannot create a pseudo-terminal" << Qt::endl;
        return 1;
    }
    const QString linkPath = parser.value(link);
    if (!linkPath.isEmpty()) {
        QFile::remove(linkPath);
        if (!QFile::link(pty.slavePath(), linkPath)) {
            QTextStream(stderr) << "orvant-relay-sim: cannot make the link " << linkPath
                                << Qt::endl;
            return 1;
        }
    }

    if (::pipe2(signalPipe, O_CLOEXEC) != 0) return 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QSocketNotifier stop(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    ScriptedRelay bus(pty.masterFd());
    for (int a : addresses) bus.addRelay(a);
    bus.layout = layoutName == QLatin1String("standard") ? ScriptedRelay::Layout::Standard
                                                         : ScriptedRelay::Layout::Eight;
    // The tool waits 500 ms per attempt; a reply after that is judged late.
    bus.delayMs = parser.isSet(late) ? 650 : delayMs;
    bus.silent = parser.isSet(silent);
    bus.noiseRate = noiseRate;
    bus.dropRate = dropRate;
    bus.seed(seedValue);
    bus.echo = parser.isSet(echo);
    bus.garble = parser.isSet(garble);
    bus.exception = exceptionCode;
    bus.twin = parser.isSet(twin);
    bus.burstMs = burstMs;

    QTextStream out(stdout);
    // Outlives the connections below, which hold it by reference.
    auto stamp = [&bus] { return QStringLiteral("%1 ms").arg(bus.nowMs(), 10, 'f', 1); };
    if (parser.isSet(verbose)) {
        QObject::connect(&bus, &ScriptedRelay::requestReceived, &app, [&](const QByteArray& f) {
            out << stamp() << "  tool  -> relay  " << hex(f) << Qt::endl;
        });
        QObject::connect(&bus, &ScriptedRelay::wrote, &app, [&](const QByteArray& b) {
            out << stamp() << "  relay -> tool   " << hex(b) << Qt::endl;
        });
        QObject::connect(&bus, &ScriptedRelay::junk, &app, [&](const QByteArray& b) {
            out << stamp() << "  tool  -> relay  " << hex(b) << "  (not a request, ignored)"
                << Qt::endl;
        });
        QObject::connect(&bus, &ScriptedRelay::addressChanged, &app, [&](int from, int to) {
            out << stamp() << "  relay at " << from << " now answers at " << to << Qt::endl;
        });
    }

    out << pty.slavePath() << Qt::endl;
    const int rc = app.exec();
    if (!linkPath.isEmpty()) QFile::remove(linkPath);
    return rc;
}
