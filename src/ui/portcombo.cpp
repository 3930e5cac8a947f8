#include "ui/portcombo.h"

#include "link/comport.h"

#include <QSerialPortInfo>

void PortCombo::showPopup() {
    refreshToolTips();
    QComboBox::showPopup();
}

void PortCombo::refreshToolTips() {
    const QList<QSerialPortInfo> known = QSerialPortInfo::availablePorts();
    QStringList ports;
    for (const QSerialPortInfo& info : known) ports << info.systemLocation();
    const auto env = [](const QString& name) {
        return qEnvironmentVariable(name.toLatin1().constData());
    };
    for (int i = 0; i < count(); ++i) {
        const QString device = comport::deviceFor(i + 1, env, ports);
        setItemData(i,
                    device.isEmpty() ? QStringLiteral("SIN DISPOSITIVO")
                                     : comport::describe(device, known),
                    Qt::ToolTipRole);
    }
}
