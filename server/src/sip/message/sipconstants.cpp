#include "sip/message/sipconstants.h"

const QString ENDL = QStringLiteral("\r\n");
const QString SIPVER = QStringLiteral("2.0");
const QString RTSPVER = QStringLiteral("1.0");
const QString ALLOW = QStringLiteral("REGISTER, MESSAGE, INVITE, ACK, CANCEL, BYE, INFO, REFER");
const QString MAXFORWARDS = QStringLiteral("70");
