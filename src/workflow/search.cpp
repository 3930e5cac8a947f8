// Step 2: find the address of the one relay on the bus.
#include "link/modbuslink.h"
#include "ui/form1.h"
#include "workflow/faultlines.h"
#include "workflow/range.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>

void Form1::chk_aut_Click() {
    if (chk_aut->checkState() == Qt::Checked) {
        txt_ini->setText(QStringLiteral("1"));
        txt_ini->setEnabled(false);
        txt_fin->setText(QStringLiteral("127"));
        txt_fin->setEnabled(false);
    } else {
        txt_ini->setEnabled(true);
        txt_fin->setEnabled(true);
    }
}

void Form1::cmb_buscar_Click() {
    const range::Verdict verdict = range::check(txt_ini->text(), txt_fin->text(), QLocale());
    if (!verdict.valid) {
        label->setText(QStringLiteral("RANGO DE BÚSQUEDA INCORRECTO. REVISE E INTENTE DE NUEVO."));
        setBackColor(txt_ini, COLOR_BAD);
        setBackColor(txt_fin, COLOR_BAD);
        return;
    }

    setBackColor(txt_ini, COLOR_OK);
    setBackColor(txt_fin, COLOR_OK);
    label->setText(QStringLiteral("BUSCANDO RELÉ ORVANT..."));
    // The only guard against a second search or a disconnect meanwhile.
    frm_com->setEnabled(false);
    frm_det->setEnabled(false);

    const auto first = static_cast<uint8_t>(verdict.first);
    const auto last = static_cast<uint8_t>(verdict.last);
    int current = first; // reaches last + 1, up to 128
    uint8_t result = 1;
    FaultTally faults;
    const Operation running(*this);
    link->clearStop();
    m_stopKey->setEnabled(true);
    while (result == 1 && current <= last && !link->portLost() && !link->closing() &&
           !link->stopRequested()) {
        result = link->Modbus(static_cast<uint8_t>(current), 3, 0, 3, 0, 1);
        faults.add(current, link->lastFault());
        current = current + 1;
    }
    m_stopKey->setEnabled(false);
    // The stop ends with the search it stopped; left set, it would keep the
    // next write from going out.
    const bool stopped = link->stopRequested();
    link->clearStop();
    // A relay that answered before the port was lost is still reported.
    if (link->closing() || (link->portLost() && result == 1)) return;

    if (result == 1) {
        // Bytes came but no relay: the cause, for the technician.
        for (const QString& line : faults.lines()) logLine(line);
        if (stopped) {
            // Esc cut the range short: say where, not that nothing answers. A
            // reply judged before the stop was seen went the found way below.
            const QString where = QStringLiteral("BÚSQUEDA DETENIDA EN LA DIRECCIÓN <") +
                                  QString::number(current - 1) + QStringLiteral(">");
            logLine(where);
            label->setText(where + QStringLiteral(". PRESIONE <BUSCAR> PARA BUSCAR DE NUEVO"));
        } else {
            label->setText(QStringLiteral("NO SE PUEDE ENCONTRAR NINGÚN DISPOSISTIVO CONECTADO. "
                                          "REVISE EL RANGO DE BÚSQUEDA Y VUELVA A INTENTARLO."));
        }
        frm_det->setEnabled(true);
        frm_com->setEnabled(true);
    } else {
        DirActual = static_cast<uint8_t>(current - 1);
        label->setText(QStringLiteral("SE HA DETECTADO UN ORVANT CON DIRECCIÓN <") +
                       QString::number(DirActual) +
                       QStringLiteral(">. SELECCIONE LA NUEVA DIRECCIÓN Y PRESIONE <CAMBIAR>"));
        logLine(QStringLiteral("DETECTADO DIRECCIÓN <") + QString::number(DirActual) +
                QStringLiteral(">."));
        setPanel2Color(COLOR_IDLE());
        setBackColor(frm_dir, COLOR_ACTIVE);
        frm_dir->setEnabled(true);
    }
}
