#include "sip/message/sippatterns.h"

const QString REQUEST_LINE_PATTERN
    = QStringLiteral("^(\\w+)\\s+([Ss][Ii][Pp]:\\S+)\\s+[Ss][Ii][Pp]/(\\d+\\.\\d+)$");
const QString STATUS_LINE_PATTERN
    = QStringLiteral("^[Ss][Ii][Pp]/(\\d+\\.\\d+)\\s+(\\d+)(?:\\s+(\\S.*)?)?$");
const QString HEADER_LINE_PATTERN = QStringLiteral("^([-\\w]+):\\s*(\\S.*)$");
const QString CSEQ_PATTERN = QStringLiteral("^(\\d+)\\s+(\\w+)$");
const QString URI_PATTERN
    = QStringLiteral("^%1([\\w.-]+)(?::([^@]+))?(?:@([\\w.-]+))?(?::(\\d{1,5}))?(?:;(.+))?$");
const QString USER_HOST_PATTERN
    = QStringLiteral("^%1([\\w.-]+)@([\\w.-]+)?(?::(\\d{1,5}))?(?:;(.+))?$");
const QString HOST_PATTERN = QStringLiteral("^%1([\\w.-]+)?(?::(\\d{1,5}))?(?:;(.+))?$");
const QString VIA_PATTERN = QStringLiteral("^%1/(\\d+\\.\\d+)/([\\w.-]+)\\s(\\S.+)$");
const QString NAME_ADDR_PATTERN
    = QStringLiteral("^\\s*(?:\"?([^\"]+)\"?\\s*)?<(.+)>\\s*(?:;(.+))?$");
