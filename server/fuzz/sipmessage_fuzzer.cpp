// libFuzzer target for the SIP parser and the URI and address readers. Beyond crashes it checks
// that the hand-written matchers agree with the patterns they implement, that an accepted
// message reads back after it was written, and that any display name written reads back.
#include "sip/message/kbasecontactaddress.h"
#include "sip/message/kbaserequesturi.h"
#include "sip/message/kbaseuri.h"
#include "sip/message/kbaseviaaddress.h"
#include "sip/message/sipgrammar.h"
#include "sip/message/sipmessage.h"
#include "sip/message/sippatterns.h"
#include "urigrammarreference.h"

#include <QHostAddress>
#include <QRegExp>
#include <QRegularExpression>
#include <QVector>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QString &text)
{
    std::fprintf(stderr, "%s: [%s]\n", what, text.toUtf8().constData());
    std::abort();
}

const QRegularExpression &compiled(const QString &pattern)
{
    static QHash<QString, QRegularExpression> cache;
    auto it = cache.find(pattern);
    if (it == cache.end()) {
        it = cache.insert(pattern, QRegularExpression(pattern));
        it->optimize();
    }
    return *it;
}

void agree(const QString &pattern, const QString &line, bool matched,
           const QList<QStringRef> &captures)
{
    const QRegularExpressionMatch m = compiled(pattern).match(line);
    if (m.hasMatch() != matched)
        fail("matcher and pattern disagree", pattern + QStringLiteral(" on ") + line);
    for (int i = 0; matched && i < captures.size(); ++i) {
        if (captures.at(i).toString() != m.captured(i + 1))
            fail("capture differs", pattern + QStringLiteral(" on ") + line);
    }
    // On ASCII text without line feeds QRegExp, the engine the patterns were written for,
    // reads them alike.
    if (line.contains(QLatin1Char('\n'))
        || !std::all_of(line.cbegin(), line.cend(), [](QChar c) { return c.unicode() < 0x80; }))
        return;
    static QHash<QString, QRegExp> reference;
    auto it = reference.find(pattern);
    if (it == reference.end())
        it = reference.insert(pattern, QRegExp(pattern));
    if ((it->indexIn(line) >= 0) != matched)
        fail("matcher and QRegExp disagree", pattern + QStringLiteral(" on ") + line);
    for (int i = 0; matched && i < captures.size(); ++i) {
        if (captures.at(i).toString() != it->cap(i + 1))
            fail("QRegExp capture differs", pattern + QStringLiteral(" on ") + line);
    }
}

void checkLine(const QString &line)
{
    const QStringRef ref(&line);
    QStringRef a, b, c;
    bool matched = SipGrammar::matchRequestLine(ref, a, b, c);
    agree(REQUEST_LINE_PATTERN, line, matched, { a, b, c });
    matched = SipGrammar::matchStatusLine(ref, a, b, c);
    agree(STATUS_LINE_PATTERN, line, matched, { a, b, c });
    matched = SipGrammar::matchHeaderLine(ref, a, b);
    agree(HEADER_LINE_PATTERN, line, matched, { a, b });
    matched = SipGrammar::matchCSeq(ref, a, b);
    agree(CSEQ_PATTERN, line, matched, { a, b });
}

void checkAddresses(const QString &text)
{
    const QString problems = UriGrammarReference::difference(text);
    if (!problems.isEmpty())
        fail(qPrintable(problems), text);
    KBaseUri<1> uri(text);
    KBaseUri<0> bare(text);
    KBaseRequestUri<1> request(text);
    KBaseRequestUri<0> sentBy(text);
    KBaseViaAddress<1> via(text);
    KBaseContactAddress<1> contact(text);
    if (contact.valid != isReadableContactAddress(text))
        fail("validity shortcut disagrees", text);
    (void)uri.toString();
    (void)bare.toString();
    (void)request.toString();
    (void)sentBy.toString();
    (void)via.toString();
    (void)contact.toString();

    KBaseContactAddress<1> named;
    named.valid = true;
    named.displayName = text;
    named.address.valid = true;
    named.address.user = QStringLiteral("door");
    named.address.host = QStringLiteral("10.0.0.1");
    named.parameters.setParam(QStringLiteral("tag"), QStringLiteral("t"));
    const KBaseContactAddress<1> read(named.toString());
    if (!read.valid || read.displayName != sanitizedDisplayName(text)
        || read.parameters.param(QStringLiteral("tag")) != QStringLiteral("t"))
        fail("display name does not read back", text);
}

// The fields parsed once read as the same texts read afresh (new strings: no parsed view
// holds them).
void checkParsedFields(const SipMessage &message, const QByteArray &bytes)
{
    SipMessage fresh = message;
    for (auto it = fresh.headers.begin(); it != fresh.headers.end(); ++it) {
        for (QString &value : *it)
            value = QString(value.constData(), value.size());
    }
    const KBaseViaAddress<1> via = message.topVia(), freshVia = fresh.topVia();
    if (via.valid != freshVia.valid || via.text != freshVia.text
        || via.transport != freshVia.transport || via.sentBy != freshVia.sentBy
        || message.branch() != fresh.branch() || message.from() != fresh.from()
        || message.to() != fresh.to() || message.contact() != fresh.contact()
        || message.fromTag() != fresh.fromTag() || message.toTag() != fresh.toTag()
        || message.cseqNumber() != fresh.cseqNumber() || message.cseqMethod() != fresh.cseqMethod()
        || message.transactionKey() != fresh.transactionKey())
        fail("parsed fields differ from a fresh read", QString::fromUtf8(bytes));
}

// Every CR of a written head starts a CR LF and every LF ends one: no value starts a line.
void checkLineEnds(const QByteArray &written, const QByteArray &bytes)
{
    const int end = written.indexOf("\r\n\r\n");
    const QByteArray head = end < 0 ? written : written.left(end + 2);
    const int pairs = head.count("\r\n");
    if (head.count('\r') != pairs || head.count('\n') != pairs)
        fail("a written header value breaks its line", QString::fromUtf8(bytes));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const SipMessage message(SipTransport::UDP, QHostAddress(QStringLiteral("192.0.2.1")), 5060,
                             QHostAddress(QStringLiteral("192.0.2.2")), 5060, bytes);
    checkParsedFields(message, bytes);
    if (message.valid) {
        checkLineEnds(message.toByteArray(), bytes);
        const SipMessage again(SipTransport::UDP, QHostAddress(QStringLiteral("192.0.2.1")), 5060,
                               QHostAddress(QStringLiteral("192.0.2.2")), 5060,
                               message.toByteArray());
        if (!again.valid || again.body != message.body)
            fail("written message does not read back", QString::fromUtf8(bytes));
        const SipMessage response(SipStatus::OK, message);
        (void)response.toByteArray();
        SipMessage target(SipMethod::Ack, SipTransport::UDP);
        message.setRouteSet(target, true);
        message.setRouteSet(target, false);
        (void)message.viaWithBranch(message.branch());
    }

    const int headEnd = bytes.indexOf("\r\n\r\n");
    QString head = QString::fromUtf8(bytes.constData(), headEnd < 0 ? bytes.size() : headEnd);
    head.replace(QLatin1String("\r\n "), QLatin1String(" "));
    head.replace(QLatin1String("\r\n\t"), QLatin1String("\t"));
    const QStringList lines = head.split(QStringLiteral("\r\n"));
    for (int i = 0; i < lines.size() && i < 64; ++i) {
        checkLine(lines.at(i));
        checkAddresses(lines.at(i));
        const int colon = lines.at(i).indexOf(QLatin1Char(':'));
        if (colon > 0)
            checkAddresses(lines.at(i).mid(colon + 1).trimmed());
    }
    return 0;
}
