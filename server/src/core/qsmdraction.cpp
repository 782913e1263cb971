#include "core/qsmdraction.h"

QString QSmdrAction::code(int type)
{
    static const char *const codes[] = {
        "INT", "ITC", "ITP", "ITG", "INC", "ICC", "ICP", "ICG", "OUT", "R1O", "R1C",
        "R2O", "R2C", "R3O", "R3C", "BTO", "BTC", "S1O", "S1C", "S2O", "S2C", "PWR",
    };
    if (type < 0 || type >= int(sizeof(codes) / sizeof(codes[0])))
        return QString();
    return QString::fromLatin1(codes[type]);
}
