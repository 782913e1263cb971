#include "sip/message/urigrammar.h"

// Hand-written matchers of URI_PATTERN, USER_HOST_PATTERN, HOST_PATTERN, VIA_PATTERN and
// NAME_ADDR_PATTERN (sippatterns.h) under QRegExp's character classes: \w is a letter, number,
// mark or "_", \d a decimal digit, \s a separator or TAB..CR or NEL, "." any character, "$" the
// very end. Where a pattern can split a text in several ways they take the split a greedy
// backtracking matcher takes; callers trim every capture.
namespace UriGrammar {

namespace {

inline bool isWord(QChar c)
{
    return c.isLetterOrNumber() || c.isMark() || c == QLatin1Char('_');
}

// [\w.-]
inline bool isToken(QChar c)
{
    return c == QLatin1Char('.') || c == QLatin1Char('-') || isWord(c);
}

inline bool isDigit(QChar c)
{
    return c.category() == QChar::Number_DecimalDigit;
}

inline bool isSpace(QChar c)
{
    const ushort u = c.unicode();
    if (u < 0x80)
        return u == ' ' || (u >= 9 && u <= 13);
    return u == 0x85 || c.category() == QChar::Separator_Space
        || c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph;
}

template<typename Pred> int runFrom(const QString &s, int at, Pred pred)
{
    int end = at;
    while (end < s.size() && pred(s.at(end)))
        ++end;
    return end;
}

// The scheme prefix of the URI patterns: "sip:" in any letter case, or nothing.
int afterPrefix(int scheme, const QString &s)
{
    if (scheme != 1)
        return 0;
    if (s.size() < 4)
        return -1;
    static const char lower[] = "sip:", upper[] = "SIP:";
    for (int i = 0; i < 4; ++i) {
        const ushort u = s.at(i).unicode();
        if (u != ushort(lower[i]) && u != ushort(upper[i]))
            return -1;
    }
    return 4;
}

// (?:;(.+))?$
bool tailParameters(const QString &s, int at, UriParts &parts)
{
    if (at == s.size()) {
        parts.parameters.clear();
        return true;
    }
    if (s.at(at) == QLatin1Char(';') && at + 1 < s.size()) {
        parts.parameters = s.mid(at + 1);
        return true;
    }
    return false;
}

// (?::(\d{1,5}))?(?:;(.+))?$
bool tailPort(const QString &s, int at, UriParts &parts)
{
    if (at < s.size() && s.at(at) == QLatin1Char(':')) {
        int end = at + 1;
        while (end < s.size() && end - at - 1 < 5 && isDigit(s.at(end)))
            ++end;
        // Fewer digits would leave a digit where only ";" or the end may stand.
        if (end > at + 1 && tailParameters(s, end, parts)) {
            parts.port = s.mid(at + 1, end - at - 1);
            return true;
        }
    }
    parts.port.clear();
    return tailParameters(s, at, parts);
}

// (?:@([\w.-]+))?(?::(\d{1,5}))?(?:;(.+))?$
bool tailHost(const QString &s, int at, UriParts &parts)
{
    if (at < s.size() && s.at(at) == QLatin1Char('@')) {
        const int end = runFrom(s, at + 1, isToken);
        if (end > at + 1 && tailPort(s, end, parts)) {
            parts.host = s.mid(at + 1, end - at - 1);
            return true;
        }
    }
    parts.host.clear();
    return tailPort(s, at, parts);
}

} // namespace

quint16 portNumber(const QString &digits)
{
    // ASCII digits, the usual port, read directly; anything else as toUInt reads it.
    uint value = 0;
    int k = 0;
    while (k < digits.size() && k < 5 && digits.at(k) >= QLatin1Char('0')
           && digits.at(k) <= QLatin1Char('9'))
        value = value * 10 + uint(digits.at(k++).unicode() - '0');
    if (k > 0 && k == digits.size())
        return value <= 65535 ? quint16(value) : 0;
    bool ok = false;
    const uint port = digits.toUInt(&ok);
    return ok && port <= 65535 ? quint16(port) : 0;
}

bool matchUri(int scheme, const QString &text, UriParts &parts)
{
    const int start = afterPrefix(scheme, text);
    if (start < 0)
        return false;
    const int userEnd = runFrom(text, start, isToken);
    if (userEnd == start)
        return false;
    UriParts found;
    bool matched = false;
    if (userEnd < text.size() && text.at(userEnd) == QLatin1Char(':')) {
        // (?::([^@]+))? : the longest password whose remainder still matches.
        const int runEnd
            = runFrom(text, userEnd + 1, [](QChar c) { return c != QLatin1Char('@'); });
        for (int end = runEnd; end > userEnd + 1 && !matched; --end) {
            if (tailHost(text, end, found)) {
                found.password = text.mid(userEnd + 1, end - userEnd - 1);
                matched = true;
            }
        }
    }
    if (!matched) {
        found.password.clear();
        matched = tailHost(text, userEnd, found);
    }
    if (!matched)
        return false;
    found.user = text.mid(start, userEnd - start);
    parts = std::move(found);
    return true;
}

bool matchUserHost(int scheme, const QString &text, UriParts &parts)
{
    const int start = afterPrefix(scheme, text);
    if (start < 0)
        return false;
    const int userEnd = runFrom(text, start, isToken);
    if (userEnd == start || userEnd >= text.size() || text.at(userEnd) != QLatin1Char('@'))
        return false;
    const int hostEnd = runFrom(text, userEnd + 1, isToken);
    UriParts found;
    if (!tailPort(text, hostEnd, found))
        return false;
    found.user = text.mid(start, userEnd - start);
    found.host = text.mid(userEnd + 1, hostEnd - userEnd - 1);
    parts = std::move(found);
    return true;
}

bool matchHost(int scheme, const QString &text, UriParts &parts)
{
    const int start = afterPrefix(scheme, text);
    if (start < 0)
        return false;
    const int hostEnd = runFrom(text, start, isToken);
    UriParts found;
    if (!tailPort(text, hostEnd, found))
        return false;
    found.host = text.mid(start, hostEnd - start);
    parts = std::move(found);
    return true;
}

bool matchVia(const QString &text, ViaParts &parts)
{
    static const char lower[] = "sip/", upper[] = "SIP/";
    if (text.size() < 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        const ushort u = text.at(i).unicode();
        if (u != ushort(lower[i]) && u != ushort(upper[i]))
            return false;
    }
    // (\d+\.\d+)/
    const int major = runFrom(text, 4, isDigit);
    if (major == 4 || major >= text.size() || text.at(major) != QLatin1Char('.'))
        return false;
    const int minor = runFrom(text, major + 1, isDigit);
    if (minor == major + 1 || minor >= text.size() || text.at(minor) != QLatin1Char('/'))
        return false;
    // ([\w.-]+)\s(\S.+)$
    const int transportEnd = runFrom(text, minor + 1, isToken);
    if (transportEnd == minor + 1 || transportEnd >= text.size() || !isSpace(text.at(transportEnd)))
        return false;
    const int sentBy = transportEnd + 1;
    if (text.size() - sentBy < 2 || isSpace(text.at(sentBy)))
        return false;
    parts.version = text.mid(4, minor - 4);
    parts.transport = text.mid(minor + 1, transportEnd - minor - 1);
    parts.sentBy = text.mid(sentBy);
    return true;
}

bool matchNameAddr(const QString &text, NameAddrParts &parts)
{
    const int n = text.size();
    // <(.+)>\s*(?:;(.+))?$ : the URI runs to the last ">" that only blanks, or blanks and a
    // ";" with parameters, follow.
    int close = -1;
    QString parameters;
    for (int j = n - 1; j >= 0 && close < 0; --j) {
        if (text.at(j) != QLatin1Char('>'))
            continue;
        const int k = runFrom(text, j + 1, isSpace);
        if (k == n) {
            close = j;
            parameters.clear();
        } else if (text.at(k) == QLatin1Char(';') && k + 1 < n) {
            close = j;
            parameters = text.mid(k + 1);
        }
    }
    if (close < 0)
        return false;
    // An opening "<" at t works when at least one character stands before the closing ">".
    const auto opensAt
        = [&](int t) { return t < n && text.at(t) == QLatin1Char('<') && close >= t + 2; };
    const auto finish = [&](int open, QString displayName) {
        parts.displayName = std::move(displayName);
        parts.uri = text.mid(open + 1, close - open - 1);
        parts.parameters = std::move(parameters);
        return true;
    };
    const auto skipSpace = [&](int from) { return runFrom(text, from, isSpace); };

    // ^\s*(?:"?([^"]+)"?\s*)?< with the leading blanks taken whole first.
    const int p = skipSpace(0);
    if (p == n)
        return false;
    const int q = text.at(p) == QLatin1Char('"') ? p + 1 : p;
    const int runEnd = runFrom(text, q, [](QChar c) { return c != QLatin1Char('"'); });
    // The first non-blank at or after r, kept up to date while r walks back.
    int nonSpace = skipSpace(runEnd);
    for (int r = runEnd; r > q; --r) {
        if (r < runEnd && !isSpace(text.at(r)))
            nonSpace = r;
        if (r < n && text.at(r) == QLatin1Char('"') && opensAt(skipSpace(r + 1)))
            return finish(skipSpace(r + 1), text.mid(q, r - q));
        if (opensAt(nonSpace))
            return finish(nonSpace, text.mid(q, r - q));
    }
    if (opensAt(p))
        return finish(p, QString());
    // Fewer leading blanks only help before a quote: the last blank becomes the display name
    // and the quote closes it.
    if (p > 0 && text.at(p) == QLatin1Char('"') && opensAt(skipSpace(p + 1)))
        return finish(skipSpace(p + 1), text.mid(p - 1, 1));
    return false;
}

} // namespace UriGrammar
