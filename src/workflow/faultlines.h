#pragma once

#include "link/replycheck.h"

#include <QList>
#include <QMap>
#include <QStringList>

// What came back from the addresses that gave no valid reply, gathered over
// a search or a write: the log says why nothing was found, one line per
// kind of cause.
class FaultTally {
public:
    void add(int address, ReplyFault fault);
    QStringList lines() const;

private:
    QList<int> m_unreadable;
    QMap<int, QList<int>> m_exceptions; // by exception code
};
