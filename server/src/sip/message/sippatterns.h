#pragma once

#include <QString>

// Pattern texts of the SIP grammar this system accepts. URI patterns carry "%1" for the
// scheme prefix (KUriSchemes); the Via pattern's "%1" is the bare scheme.
extern const QString REQUEST_LINE_PATTERN;
extern const QString STATUS_LINE_PATTERN;
extern const QString HEADER_LINE_PATTERN;
extern const QString CSEQ_PATTERN;
extern const QString URI_PATTERN;
extern const QString USER_HOST_PATTERN;
extern const QString HOST_PATTERN;
extern const QString VIA_PATTERN;
extern const QString NAME_ADDR_PATTERN;
