#include "sip/message/sipgrammar.h"

#include <QStringView>

namespace SipGrammar {

namespace {

inline bool isSpace(ushort c)
{
    return c == ' ' || (c >= 9 && c <= 13);
}

inline bool isDigit(ushort c)
{
    return c >= '0' && c <= '9';
}

inline bool isWord(ushort c)
{
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

struct Cursor
{
    const QChar *s;
    int n;
    int at = 0;

    ushort peek(int i) const { return i < n ? s[i].unicode() : 0; }

    template<typename Pred> int run(Pred pred)
    {
        const int start = at;
        while (at < n && pred(s[at].unicode()))
            ++at;
        return at - start;
    }

    // "sip" in any letter case followed by the given separator.
    bool sipThen(char separator)
    {
        static const char lower[] = "sip", upper[] = "SIP";
        if (at + 4 > n)
            return false;
        for (int k = 0; k < 3; ++k) {
            const ushort ch = s[at + k].unicode();
            if (ch != ushort(lower[k]) && ch != ushort(upper[k]))
                return false;
        }
        if (s[at + 3].unicode() != ushort(separator))
            return false;
        at += 4;
        return true;
    }

    // "$": the end, or a line feed that is the last character.
    bool atEnd() const { return at == n || (at == n - 1 && s[at].unicode() == '\n'); }

    // "\d+\.\d+"
    bool version()
    {
        if (run(isDigit) == 0 || peek(at) != '.')
            return false;
        ++at;
        return run(isDigit) > 0;
    }

    // ".+" or ".*" up to the end: the rest of the line up to a line feed, which must be last.
    bool restOfLine(int minimum)
    {
        const int start = at;
        const qsizetype lf = QStringView(s + at, n - at).indexOf(QLatin1Char('\n'));
        at = lf < 0 ? n : at + int(lf);
        return at - start >= minimum && atEnd();
    }
};

} // namespace

bool matchRequestLine(const QStringRef &line, QStringRef &method, QStringRef &uri,
                      QStringRef &version)
{
    Cursor c { line.unicode(), line.size() };
    if (c.run(isWord) == 0)
        return false;
    const int methodEnd = c.at;
    if (c.run(isSpace) == 0)
        return false;
    const int uriStart = c.at;
    if (!c.sipThen(':') || c.run([](ushort ch) { return !isSpace(ch); }) == 0)
        return false;
    const int uriEnd = c.at;
    if (c.run(isSpace) == 0 || !c.sipThen('/'))
        return false;
    const int versionStart = c.at;
    if (!c.version() || !c.atEnd())
        return false;
    method = line.left(methodEnd);
    uri = line.mid(uriStart, uriEnd - uriStart);
    version = line.mid(versionStart, c.at - versionStart);
    return true;
}

bool matchStatusLine(const QStringRef &line, QStringRef &version, QStringRef &code,
                     QStringRef &reason)
{
    Cursor c { line.unicode(), line.size() };
    if (!c.sipThen('/'))
        return false;
    const int versionStart = c.at;
    if (!c.version())
        return false;
    const int versionEnd = c.at;
    if (c.run(isSpace) == 0)
        return false;
    const int codeStart = c.at;
    if (c.run(isDigit) == 0)
        return false;
    const int codeEnd = c.at;
    // The code alone says what a response means: its reason phrase may be short or empty, and
    // a line that ends at the code loses nothing.
    int reasonStart = c.at;
    if (c.run(isSpace) > 0) {
        reasonStart = c.at;
        if (!c.restOfLine(0))
            return false;
    } else if (!c.atEnd()) {
        return false;
    }
    version = line.mid(versionStart, versionEnd - versionStart);
    code = line.mid(codeStart, codeEnd - codeStart);
    reason = line.mid(reasonStart, c.at - reasonStart);
    return true;
}

bool matchHeaderLine(const QStringRef &line, QStringRef &name, QStringRef &value)
{
    Cursor c { line.unicode(), line.size() };
    if (c.run([](ushort ch) { return ch == '-' || isWord(ch); }) == 0)
        return false;
    const int nameEnd = c.at;
    if (c.peek(c.at) != ':')
        return false;
    ++c.at;
    c.run(isSpace);
    if (c.at >= c.n)
        return false;
    const int valueStart = c.at++;
    if (!c.restOfLine(0))
        return false;
    name = line.left(nameEnd);
    value = line.mid(valueStart, c.at - valueStart);
    return true;
}

bool matchCSeq(const QStringRef &value, QStringRef &number, QStringRef &method)
{
    Cursor c { value.unicode(), value.size() };
    if (c.run(isDigit) == 0)
        return false;
    const int numberEnd = c.at;
    if (c.run(isSpace) == 0)
        return false;
    const int methodStart = c.at;
    if (c.run(isWord) == 0 || !c.atEnd())
        return false;
    number = value.left(numberEnd);
    method = value.mid(methodStart, c.at - methodStart);
    return true;
}

} // namespace SipGrammar
