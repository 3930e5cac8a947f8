#pragma once

#include <QFile>
#include <QString>

// A "kB" field of /proc/<pid>/status (VmRSS, VmHWM, ...), or -1.
inline long statusKb(const QString& pid, const char* field) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(key.size()).trimmed().split(' ').first().toLong();
    return -1;
}
