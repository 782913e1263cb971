#pragma once

#include <QMetaType>
#include <QString>

// Action codes of SMDR records: calls by conversation type, relays, button, sensors, power.
struct QSmdrAction
{
    enum Type : int {
        INT = 0,
        ITC = 1,
        ITP = 2,
        ITG = 3,
        INC = 4,
        ICC = 5,
        ICP = 6,
        ICG = 7,
        OUT = 8,
        R1O = 9,
        R1C = 10,
        R2O = 11,
        R2C = 12,
        R3O = 13,
        R3C = 14,
        BTO = 15,
        BTC = 16,
        S1O = 17,
        S1C = 18,
        S2O = 19,
        S2C = 20,
        PWR = 21,
    };

    // The three-letter code; empty for values outside the table.
    static QString code(int type);
};

Q_DECLARE_METATYPE(QSmdrAction::Type)
