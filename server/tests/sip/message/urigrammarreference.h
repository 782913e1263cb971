#pragma once

// The URI, Via and name-addr grammars run through QRegExp, the engine their patterns are
// written for: the reference the hand-written matchers of urigrammar.h are held against.

#include "sip/message/kurischemes.h"
#include "sip/message/sippatterns.h"
#include "sip/message/urigrammar.h"

#include <QHash>
#include <QRegExp>
#include <QStringList>

namespace UriGrammarReference {

// Whether the pattern matches, with its captures (empty when it does not).
inline bool run(const QString &pattern, const QString &text, QStringList &captures)
{
    thread_local QHash<QString, QRegExp> compiled;
    auto it = compiled.find(pattern);
    if (it == compiled.end())
        it = compiled.insert(pattern, QRegExp(pattern, Qt::CaseSensitive, QRegExp::RegExp));
    const bool matched = it->indexIn(text, 0) >= 0;
    captures = matched ? it->capturedTexts().mid(1) : QStringList();
    return matched;
}

// Compares both readings of one text; returns an empty text when they agree, else what
// differs. Captures must be equal to the character, except the display name, whose blanks the
// matcher may split differently around a quote: its reader trims it.
inline QString difference(const QString &text)
{
    QStringList problems;
    // The matcher's parts against the pattern's captures, placed at the parts they fill.
    const auto same = [&](const QString &what, bool matched, const QStringList &parts,
                          const QString &pattern, const QList<int> &places, bool trimFirst) {
        QStringList captures, expected;
        const bool reference = run(pattern, text, captures);
        if (matched != reference)
            problems << QStringLiteral("%1 match %2/%3").arg(what).arg(matched).arg(reference);
        for (int i = 0; i < parts.size(); ++i)
            expected << (places.contains(i) ? captures.value(places.indexOf(i)) : QString());
        for (int i = 0; matched && reference && i < parts.size(); ++i) {
            const bool trim = trimFirst && i == 0;
            if ((trim ? parts.at(i).trimmed() : parts.at(i))
                != (trim ? expected.at(i).trimmed() : expected.at(i)))
                problems << QStringLiteral("%1 capture %2 [%3]/[%4]")
                                .arg(what)
                                .arg(i + 1)
                                .arg(parts.at(i), expected.at(i));
        }
    };
    for (int scheme = 0; scheme < 2; ++scheme) {
        const QString prefix = KUriSchemes::patternPrefix(KUriSchemes::Type(scheme));
        const auto uri = [&](const char *what, auto matcher, const QString &pattern,
                             const QList<int> &places) {
            UriGrammar::UriParts p;
            const bool matched = matcher(scheme, text, p);
            same(QLatin1String(what), matched, { p.user, p.password, p.host, p.port, p.parameters },
                 pattern.arg(prefix), places, false);
        };
        uri("uri", UriGrammar::matchUri, URI_PATTERN, { 0, 1, 2, 3, 4 });
        uri("user@host", UriGrammar::matchUserHost, USER_HOST_PATTERN, { 0, 2, 3, 4 });
        uri("host", UriGrammar::matchHost, HOST_PATTERN, { 2, 3, 4 });
    }
    UriGrammar::ViaParts via;
    bool matched = UriGrammar::matchVia(text, via);
    same(QStringLiteral("via"), matched, { via.version, via.transport, via.sentBy },
         VIA_PATTERN.arg(KUriSchemes::pattern(KUriSchemes::Sip)), { 0, 1, 2 }, false);
    UriGrammar::NameAddrParts nameAddr;
    matched = UriGrammar::matchNameAddr(text, nameAddr);
    same(QStringLiteral("name-addr"), matched,
         { nameAddr.displayName, nameAddr.uri, nameAddr.parameters }, NAME_ADDR_PATTERN,
         { 0, 1, 2 }, true);
    return problems.join(QStringLiteral("; "));
}

} // namespace UriGrammarReference
