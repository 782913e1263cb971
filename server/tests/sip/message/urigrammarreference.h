#pragma once

// The URI, Via and name-addr grammars run through QRegExp, the engine their patterns are
// written for: the reference the hand-written matchers of urigrammar.h are held against.

#include "sip/message/kurischemes.h"
#include "sip/message/sippatterns.h"
#include "sip/message/urigrammar.h"

#include <QHash>
#include <QRegExp>

namespace UriGrammarReference {

inline bool run(const QString &pattern, const QString &text, QStringList &captures)
{
    thread_local QHash<QString, QRegExp> compiled;
    auto it = compiled.find(pattern);
    if (it == compiled.end())
        it = compiled.insert(pattern, QRegExp(pattern, Qt::CaseSensitive, QRegExp::RegExp));
    QRegExp &rx = *it;
    if (rx.indexIn(text, 0) < 0)
        return false;
    captures = rx.capturedTexts();
    return true;
}

inline QString uriPattern(const QString &pattern, int scheme)
{
    return pattern.arg(KUriSchemes::patternPrefix(KUriSchemes::Type(scheme)));
}

inline bool matchUri(int scheme, const QString &text, UriGrammar::UriParts &parts)
{
    QStringList c;
    if (!run(uriPattern(URI_PATTERN, scheme), text, c))
        return false;
    parts = { c.at(1), c.at(2), c.at(3), c.at(4), c.at(5) };
    return true;
}

inline bool matchUserHost(int scheme, const QString &text, UriGrammar::UriParts &parts)
{
    QStringList c;
    if (!run(uriPattern(USER_HOST_PATTERN, scheme), text, c))
        return false;
    parts = { c.at(1), QString(), c.at(2), c.at(3), c.at(4) };
    return true;
}

inline bool matchHost(int scheme, const QString &text, UriGrammar::UriParts &parts)
{
    QStringList c;
    if (!run(uriPattern(HOST_PATTERN, scheme), text, c))
        return false;
    parts = { QString(), QString(), c.at(1), c.at(2), c.at(3) };
    return true;
}

inline bool matchVia(const QString &text, UriGrammar::ViaParts &parts)
{
    QStringList c;
    if (!run(VIA_PATTERN.arg(KUriSchemes::pattern(KUriSchemes::Sip)), text, c))
        return false;
    parts = { c.at(1), c.at(2), c.at(3) };
    return true;
}

inline bool matchNameAddr(const QString &text, UriGrammar::NameAddrParts &parts)
{
    QStringList c;
    if (!run(NAME_ADDR_PATTERN, text, c))
        return false;
    parts = { c.at(1), c.at(2), c.at(3) };
    return true;
}

// Compares both readings of one text; returns an empty text when they agree, else what
// differs. Captures must be equal to the character, except the display name, whose blanks the
// matcher may split differently around a quote: its reader trims it.
inline QString difference(const QString &text)
{
    QStringList problems;
    const auto same = [&](const char *what, bool a, bool b, const QStringList &x,
                          const QStringList &y, int trimmedCapture = -1) {
        if (a != b)
            problems << QStringLiteral("%1 match %2/%3").arg(QLatin1String(what)).arg(a).arg(b);
        for (int i = 0; a && b && i < x.size(); ++i) {
            const bool trim = i == trimmedCapture;
            if ((trim ? x.at(i).trimmed() : x.at(i)) != (trim ? y.at(i).trimmed() : y.at(i)))
                problems << QStringLiteral("%1 capture %2 [%3]/[%4]")
                                .arg(QLatin1String(what))
                                .arg(i + 1)
                                .arg(x.at(i), y.at(i));
        }
    };
    const auto uri = [](const UriGrammar::UriParts &p) {
        return QStringList { p.user, p.password, p.host, p.port, p.parameters };
    };
    for (int scheme = 0; scheme < 2; ++scheme) {
        UriGrammar::UriParts a, b;
        bool x = UriGrammar::matchUri(scheme, text, a),
             y = UriGrammarReference::matchUri(scheme, text, b);
        same("uri", x, y, uri(a), uri(b));
        a = b = {};
        x = UriGrammar::matchUserHost(scheme, text, a),
        y = UriGrammarReference::matchUserHost(scheme, text, b);
        same("user@host", x, y, uri(a), uri(b));
        a = b = {};
        x = UriGrammar::matchHost(scheme, text, a),
        y = UriGrammarReference::matchHost(scheme, text, b);
        same("host", x, y, uri(a), uri(b));
    }
    UriGrammar::ViaParts va, vb;
    bool x = UriGrammar::matchVia(text, va), y = UriGrammarReference::matchVia(text, vb);
    same("via", x, y, { va.version, va.transport, va.sentBy },
         { vb.version, vb.transport, vb.sentBy });
    UriGrammar::NameAddrParts na, nb;
    x = UriGrammar::matchNameAddr(text, na), y = UriGrammarReference::matchNameAddr(text, nb);
    same("name-addr", x, y, { na.displayName, na.uri, na.parameters },
         { nb.displayName, nb.uri, nb.parameters }, 0);
    return problems.join(QStringLiteral("; "));
}

} // namespace UriGrammarReference
