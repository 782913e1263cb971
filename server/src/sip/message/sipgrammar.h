#pragma once

#include <QStringRef>

// Hand-written matchers of the message-line patterns (REQUEST_LINE_PATTERN and friends in
// sippatterns.h). They accept exactly the texts the patterns accept, with the same captures,
// under QRegularExpression's rules: ASCII \w \d \s, "." stops at LF, "$" also matches before
// a final LF.
namespace SipGrammar {

bool matchRequestLine(const QStringRef &line, QStringRef &method, QStringRef &uri,
                      QStringRef &version);
bool matchStatusLine(const QStringRef &line, QStringRef &version, QStringRef &code,
                     QStringRef &reason);
bool matchHeaderLine(const QStringRef &line, QStringRef &name, QStringRef &value);
bool matchCSeq(const QStringRef &value, QStringRef &number, QStringRef &method);

} // namespace SipGrammar
