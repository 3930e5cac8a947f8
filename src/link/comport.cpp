#include "link/comport.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QtGlobal>
#include <algorithm>

namespace comport {

namespace {

QString baseName(const QString& port) {
    return port.section(QLatin1Char('/'), -1);
}

int kind(const QString& port) {
    const QString name = baseName(port);
    if (name.startsWith(QLatin1String("ttyUSB"))) return 0;
    if (name.startsWith(QLatin1String("ttyACM"))) return 1;
    return 2;
}

} // namespace

QString withoutDevicePrefix(const QString& port) {
    return port.startsWith(QLatin1String("\\\\.\\")) ? port.mid(4) : port;
}

bool naturalLess(const QString& a, const QString& b) {
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            int si = i, sj = j;
            while (si < a.size() && a[si] == QLatin1Char('0')) ++si;
            while (sj < b.size() && b[sj] == QLatin1Char('0')) ++sj;
            int ei = si, ej = sj;
            while (ei < a.size() && a[ei].isDigit()) ++ei;
            while (ej < b.size() && b[ej].isDigit()) ++ej;
            // More significant digits is a larger number; equal length compares digit-wise.
            if (ei - si != ej - sj) return (ei - si) < (ej - sj);
            const int c = QStringView(a).mid(si, ei - si).compare(QStringView(b).mid(sj, ej - sj));
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return (a.size() - i) < (b.size() - j);
}

QStringList orderPorts(QStringList ports) {
    std::stable_sort(ports.begin(), ports.end(), [](const QString& a, const QString& b) {
        const int ga = kind(a), gb = kind(b);
        if (ga != gb) return ga < gb;
        return naturalLess(baseName(a), baseName(b));
    });
    return ports;
}

QString describe(const QString& device, const QList<QSerialPortInfo>& known,
                 const QString& byIdDir) {
    QStringList lines{device};
    const QString target = QFileInfo(device).canonicalFilePath();
    if (!target.isEmpty() && target != device) lines << QStringLiteral("→ ") + target;
    const QString real = target.isEmpty() ? device : target;
    for (const QSerialPortInfo& info : known) {
        const QString listed = withoutDevicePrefix(info.systemLocation());
        if (listed != withoutDevicePrefix(real) && listed != withoutDevicePrefix(device)) continue;
        if (!info.description().isEmpty()) lines << info.description();
        if (!info.manufacturer().isEmpty())
            lines << QStringLiteral("Fabricante: ") + info.manufacturer();
        if (!info.serialNumber().isEmpty())
            lines << QStringLiteral("Número de serie: ") + info.serialNumber();
        break;
    }
    const QFileInfoList names = QDir(byIdDir).entryInfoList(
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& name : names)
        if (name.canonicalFilePath() == real && name.absoluteFilePath() != device)
            lines << name.absoluteFilePath();
    return lines.join(QLatin1Char('\n'));
}

std::optional<LineSettings> parseSettings(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4) return std::nullopt;
    LineSettings s;
    bool ok = false;
    const int baud = parts[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0) return std::nullopt;
    s.baud = baud;

    const QString parity = parts[1].trimmed().toUpper();
    if (parity == QLatin1String("N"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        s.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8) return std::nullopt;
    s.dataBits = static_cast<QSerialPort::DataBits>(bits);

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}

} // namespace comport
