#include "workflow/faultlines.h"

namespace {

// The first few addresses, then how many more: a whole range of noise must
// still fit on one line.
QString addresses(const QList<int>& list) {
    constexpr int kNamed = 3;
    QStringList named;
    for (int i = 0; i < list.size() && i < kNamed; ++i)
        named << QStringLiteral("<%1>").arg(list[i]);
    QString text =
        (list.size() == 1 ? QStringLiteral("LA DIRECCIÓN ") : QStringLiteral("LAS DIRECCIONES ")) +
        named.join(QStringLiteral(", "));
    if (list.size() > kNamed) text += QStringLiteral(" Y %1 MÁS").arg(list.size() - kNamed);
    return text;
}

} // namespace

void FaultTally::add(int address, ReplyFault fault) {
    if (fault.kind == ReplyFault::Unreadable) m_unreadable << address;
    if (fault.kind == ReplyFault::Exception) m_exceptions[fault.code] << address;
}

QStringList FaultTally::lines() const {
    QStringList out;
    if (!m_unreadable.isEmpty())
        out << (m_unreadable.size() == 1 ? QStringLiteral("RESPUESTA ILEGIBLE DE ")
                                         : QStringLiteral("RESPUESTAS ILEGIBLES DE ")) +
                   addresses(m_unreadable) +
                   QStringLiteral(": VELOCIDAD DISTINTA DE 9600, CABLES A/B INVERTIDOS O DOS "
                                  "RELÉS CON LA MISMA DIRECCIÓN");
    for (auto it = m_exceptions.cbegin(); it != m_exceptions.cend(); ++it)
        out << QStringLiteral("EXCEPCIÓN MODBUS %1 DE ").arg(it.key()) + addresses(it.value()) +
                   (it.value().size() == 1
                        ? QStringLiteral(": NO ES UN RELÉ ORVANT O RECHAZA EL REGISTRO 3")
                        : QStringLiteral(": NO SON RELÉS ORVANT O RECHAZAN EL REGISTRO 3"));
    return out;
}
