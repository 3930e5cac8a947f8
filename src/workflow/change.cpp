// Step 3: write the new address into the relay found by the search.
#include "link/modbuslink.h"
#include "ui/form1.h"
#include "workflow/faultlines.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

void Form1::cmd_cambiar_Click() {
    cmd_cambiar->setEnabled(false);
    // Read once: the user may pick another entry while the write waits.
    const auto N = static_cast<uint8_t>(cmb_dir->currentText().toInt());
    const Operation running(*this);
    const uint8_t result = link->Modbus(DirActual, 6, 0, 3, 0, N);
    if (link->closing()) return;

    // The texts name the address that was written, even if the user picked
    // another entry while the write waited: the technician labels the relay
    // by this text.
    const QString written = QString::number(N);
    if (result == 1) {
        label->setText(
            QStringLiteral("NO FUÉ POSIBLE REPROGRAMAR EL ORVANT. POR FAVOR REPITA EL PROCESO"));
        FaultTally faults;
        faults.add(DirActual, link->lastFault());
        for (const QString& line : faults.lines()) logLine(line);
        logLine(QStringLiteral("DIRECCIÓN ACTUAL") + QString::number(DirActual));
    } else {
        label->setText(QStringLiteral("SU RELÉ ORVANT HA SIDO RECONFIGURADO CON LA DIRECCIÓN <") +
                       written + QStringLiteral(">.CONECTE OTRO RELÉ ORVANT Y REPITA EL PROCESO"));
        logLine(QStringLiteral("DIRECCIÓN NUEVA:") + written);
    }

    cmd_cambiar->setEnabled(true);
    setBackColor(frm_dir, COLOR_IDLE());
    setPanel2Color(COLOR_ACTIVE);
    frm_dir->setEnabled(false);
    frm_det->setEnabled(true);
    frm_com->setEnabled(true);
    cmb_buscar->setEnabled(true);
    cmb_dir->setCurrentText(QStringLiteral("1"));
    DirActual = 1;
    link->TxBuf.fill(0);
    link->RxBuf.fill(0);
}
