// Step 1: open and close the chosen serial port.
#include "link/modbuslink.h"
#include "link/mscomm.h"
#include "ui/form1.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

// Back to step 1 with the port closed; a lost port ends here too.
void Form1::disconnectSteps() {
    cmb_com->setEnabled(true);
    label->setText(QStringLiteral("CONECTE LA RED A TRAVÉS DE LA INTERFAZ USB O RS232 Y "
                                  "SELECCIONE EL PUERTO COM"));
    link->MSComm1->setPortOpen(false);
    frm_det->setEnabled(false);
    cmd_conexion->setText(QStringLiteral("Conectar"));
    setBackColor(frm_dir, COLOR_IDLE());
    setPanel2Color(COLOR_IDLE());
    setBackColor(frm_com, COLOR_ACTIVE);
}

// The port failed underneath (adapter pulled, line gone); it has been closed.
void Form1::link_PortLost() {
    // A running search or change finishes its own steps first.
    if (m_operations == 0 && !link->closing()) showPortLost();
}

void Form1::showPortLost() {
    disconnectSteps();
    // A search or a change may have been cut short with these panels in any state.
    frm_com->setEnabled(true);
    frm_dir->setEnabled(false);
    label->setText(QStringLiteral("ERROR: SE PERDIÓ LA COMUNICACIÓN CON EL PUERTO COM. REVISE LA "
                                  "INTERFAZ Y PRESIONE <CONECTAR>"));
}

Form1::Operation::Operation(Form1& form) : m_form(form) {
    ++m_form.m_operations;
}

Form1::Operation::~Operation() {
    --m_form.m_operations;
    if (m_form.m_operations == 0 && m_form.link->portLost() && !m_form.link->closing())
        m_form.showPortLost();
}

void Form1::cmd_conexion_Click() {
    int errorNumber = 0;
    comport::OpenFailure why;
    const bool connecting = cmd_conexion->text() == QLatin1String("Conectar");
    try {
        if (connecting) {
            cmb_com->setEnabled(false);
            link->openPort(static_cast<int16_t>(cmb_com->currentIndex() + 1),
                           QStringLiteral("9600,N,8,1"));
            label->setToolTip(QString());
            label->setText(QStringLiteral("PUERTO <COM") +
                           QString::number(cmb_com->currentIndex() + 1) +
                           QStringLiteral("> DETECTADO") +
                           QStringLiteral(". CONECTE UN SOLO RELÉ ORVANT A LA RED Y PRESIONE "
                                          "<BUSCAR> PARA IDENTIFICARLO"));
            setBackColor(frm_com, COLOR_IDLE());
            setPanel2Color(COLOR_ACTIVE);
            frm_det->setEnabled(true);
            cmd_conexion->setText(QStringLiteral("Desconectar"));
        } else {
            disconnectSteps();
        }
    } catch (const CommError& e) {
        errorNumber = e.number;
        why = e.failure;
        // Any failed connect hands the port choice back, or the user could
        // only retry the same port forever.
        if (connecting) cmb_com->setEnabled(true);
    }

    if (errorNumber == MSComm::ErrInvalidPortNumber) {
        cmb_com->setEnabled(true);
        // Another port would not help with these: say what would.
        const QString device = QFileInfo(why.device).fileName();
        if (why.cause == comport::OpenFailure::PermissionDenied)
            label->setText(QStringLiteral("ERROR: SIN PERMISO PARA ABRIR ") + device +
                           QStringLiteral(". AGREGUE SU USUARIO AL GRUPO ") + why.group +
                           QStringLiteral(" Y VUELVA A INICIAR SESIÓN"));
        else if (why.cause == comport::OpenFailure::NeedsAdministrator)
            label->setText(QStringLiteral("ERROR: SIN PERMISO PARA ABRIR ") + device +
                           QStringLiteral(". UN ADMINISTRADOR DEBE DARLE ACCESO AL DISPOSITIVO"));
        else if (why.cause == comport::OpenFailure::InUse)
            label->setText(QStringLiteral("ERROR: ") + device +
                           QStringLiteral(" ESTÁ EN USO POR OTRO PROGRAMA. CIÉRRELO E INTENTE DE "
                                          "NUEVO"));
        else
            label->setText(QStringLiteral(
                "ERROR: EL PUERTO COM SELECCIONADO NO ESTÁ DISPONIBLE. SELECCIONE OTRO"));
        label->setToolTip(why.detail);
    }
}
