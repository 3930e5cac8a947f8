#pragma once

// The window's texts, word for word, as the tests expect them.

#include <QString>

inline QString startLine(int address) {
    return QStringLiteral("MENSAJE A LA DIRECCION <%1>: ").arg(address);
}
inline const QString kNoReply = QStringLiteral("---------> NO RESPONDE");
inline const QString kCorrect = QStringLiteral("---------> CORRECTO");
inline const QString kEchoLine =
    QStringLiteral("EL ADAPTADOR DEVUELVE CADA MENSAJE (ECO): SE DESCARTA LA COPIA");

inline const QString kConnectedTail =
    QStringLiteral("> DETECTADO. CONECTE UN SOLO RELÉ ORVANT A LA RED Y PRESIONE <BUSCAR> PARA "
                   "IDENTIFICARLO");
inline const QString kDisconnected =
    QStringLiteral("CONECTE LA RED A TRAVÉS DE LA INTERFAZ USB O RS232 Y SELECCIONE EL PUERTO COM");
inline const QString kBadPort =
    QStringLiteral("ERROR: EL PUERTO COM SELECCIONADO NO ESTÁ DISPONIBLE. SELECCIONE OTRO");
inline const QString kSearching = QStringLiteral("BUSCANDO RELÉ ORVANT...");
inline const QString kNotFound =
    QStringLiteral("NO SE PUEDE ENCONTRAR NINGÚN DISPOSISTIVO CONECTADO. REVISE EL RANGO DE "
                   "BÚSQUEDA Y VUELVA A INTENTARLO.");
inline const QString kBadRange =
    QStringLiteral("RANGO DE BÚSQUEDA INCORRECTO. REVISE E INTENTE DE NUEVO.");
inline const QString kChangeFailed =
    QStringLiteral("NO FUÉ POSIBLE REPROGRAMAR EL ORVANT. POR FAVOR REPITA EL PROCESO");
inline const QString kPortLost = QStringLiteral("ERROR: SE PERDIÓ LA COMUNICACIÓN CON EL PUERTO "
                                                "COM. REVISE LA INTERFAZ Y PRESIONE <CONECTAR>");

inline QString foundStatus(int address) {
    return QStringLiteral("SE HA DETECTADO UN ORVANT CON DIRECCIÓN <%1>. SELECCIONE LA NUEVA "
                          "DIRECCIÓN Y PRESIONE <CAMBIAR>")
        .arg(address);
}

inline QString changedStatus(const QString& entry) {
    return QStringLiteral("SU RELÉ ORVANT HA SIDO RECONFIGURADO CON LA DIRECCIÓN <") + entry +
           QStringLiteral(">.CONECTE OTRO RELÉ ORVANT Y REPITA EL PROCESO");
}
