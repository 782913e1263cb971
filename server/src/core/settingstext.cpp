#include "core/settingstext.h"

#include <QFile>
#include <QHash>
#include <QSettings>
#include <QStringList>
#include <QTextCodec>

#include <algorithm>
#include <iterator>

// The lines are read by the rules QSettings applies to its INI files, so that a key names the
// same value here and there.
namespace {

bool isBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

// What QSettings skips before a key: a form feed or vertical tab there is part of the key.
bool isSpace(char ch)
{
    return isBlank(ch) || ch == '\n' || ch == '\r';
}

struct IniLine
{
    int start = 0;
    int end = 0;
    int equals = -1;
};

// The next line from pos: from its first non-blank to a line end or a ';' outside quotes; a
// backslash takes the line end after it into the line, and a line starting with ';' is skipped.
bool nextLine(const QByteArray &data, int &pos, IniLine &line)
{
    const int size = data.size();
    int start = pos;
    while (start < size && isSpace(data.at(start)))
        ++start;
    bool inQuotes = false;
    int equals = -1;
    int i = start;
    while (i < size) {
        const char ch = data.at(i++);
        if (ch == '=') {
            if (!inQuotes && equals < 0)
                equals = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (!inQuotes) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char next = data.at(i++);
                if (i < size) {
                    const char after = data.at(i);
                    if ((next == '\n' && after == '\r') || (next == '\r' && after == '\n'))
                        ++i;
                }
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else if (ch == ';') {
            if (i == start + 1) {
                while (i < size && data.at(i) != '\n' && data.at(i) != '\r')
                    ++i;
                while (i < size && isSpace(data.at(i)))
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    line = { start, i, equals };
    return i > start;
}

// A key or section name: '\' is the group separator, %XX and %UXXXX are characters.
QString unescapedKey(const QByteArray &key)
{
    QString result;
    int i = 0;
    while (i < key.size()) {
        const char ch = key.at(i);
        if (ch == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (ch != '%' || i == key.size() - 1) {
            result += QLatin1Char(ch);
            ++i;
            continue;
        }
        int first = i + 1;
        int digits = 2;
        if (key.at(first) == 'U') {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const int code = first + digits <= key.size() ? key.mid(first, digits).toInt(&ok, 16) : 0;
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(code);
        i = first + digits;
    }
    return result;
}

// The value of a digit in the base, or -1.
int digitValue(char ch, int base)
{
    const int value = ch >= '0' && ch <= '9' ? ch - '0'
        : ch >= 'a' && ch <= 'f'             ? ch - 'a' + 10
        : ch >= 'A' && ch <= 'F'             ? ch - 'A' + 10
                                             : -1;
    return value < base ? value : -1;
}

// Drops the blanks ending the text after its first kept characters.
void chopBlanks(QString &text, int kept)
{
    while (text.size() > kept && isBlank(text.back().toLatin1()))
        text.chop(1);
}

// An unquoted value: its text with the escapes resolved and the commas kept as they stand, and
// the items QSettings makes of it, split at the commas and trimmed. Blanks ending the text or an
// item are dropped unless an escape wrote them.
struct WrittenValue
{
    QString text;
    QStringList items;
};

WrittenValue unescapedValue(const QByteArray &text, QTextCodec *codec)
{
    static const char kEscapes[][2] = { { 'a', '\a' }, { 'b', '\b' },  { 'f', '\f' }, { 'n', '\n' },
                                        { 'r', '\r' }, { 't', '\t' },  { 'v', '\v' }, { '"', '"' },
                                        { '?', '?' },  { '\'', '\'' }, { '\\', '\\' } };
    const int size = text.size();
    WrittenValue value;
    QString item;
    int textKept = 0;
    int itemKept = 0;
    const auto add = [&](const QString &part) {
        value.text += part;
        item += part;
    };
    int i = 0;
    while (i < size && isBlank(text.at(i)))
        ++i;
    while (i < size) {
        const char first = text.at(i);
        if (first == ',') {
            chopBlanks(item, itemKept);
            value.items << item;
            item.clear();
            itemKept = 0;
            value.text += QLatin1Char(',');
            for (++i; i < size && isBlank(text.at(i)); ++i)
                value.text += QLatin1Char(text.at(i));
            continue;
        }
        if (first != '\\') {
            int j = i + 1;
            while (j < size && text.at(j) != '\\' && text.at(j) != ',')
                ++j;
            add(codec ? codec->toUnicode(text.constData() + i, j - i)
                      : QString::fromLatin1(text.constData() + i, j - i));
            i = j;
            continue;
        }
        if (++i >= size)
            break;
        const char ch = text.at(i++);
        const auto simple = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                         [ch](const char *escape) { return escape[0] == ch; });
        if (simple != std::end(kEscapes)) {
            add(QString(QLatin1Char((*simple)[1])));
        } else if ((ch == 'x' && i < size && digitValue(text.at(i), 16) >= 0)
                   || digitValue(ch, 8) >= 0) {
            const int base = ch == 'x' ? 16 : 8;
            uint code = ch == 'x' ? 0 : uint(digitValue(ch, 8));
            while (i < size && digitValue(text.at(i), base) >= 0)
                code = code * uint(base) + uint(digitValue(text.at(i++), base));
            add(QString(QChar(code)));
        } else if (ch == '\n' || ch == '\r') {
            if (i < size && (text.at(i) == '\n' || text.at(i) == '\r') && text.at(i) != ch)
                ++i;
        }
        textKept = value.text.size();
        itemKept = item.size();
    }
    chopBlanks(value.text, textKept);
    chopBlanks(item, itemKept);
    value.items << item;
    // A leading "@@" is how a text starting with "@" is written.
    if (value.text.startsWith(QLatin1String("@@")))
        value.text.remove(0, 1);
    for (QString &each : value.items) {
        if (each.startsWith(QLatin1String("@@")))
            each.remove(0, 1);
    }
    return value;
}

// Values of lines without quotes by their keys as QSettings names them; the last line of a key
// counts.
QHash<QString, WrittenValue> writtenValues(const QByteArray &data, QTextCodec *codec)
{
    QHash<QString, WrittenValue> values;
    QString section;
    int pos = data.startsWith("\xef\xbb\xbf") ? 3 : 0;
    IniLine line;
    while (nextLine(data, pos, line)) {
        if (data.at(line.start) == '[') {
            const int close = data.indexOf(']', line.start);
            const int end = close < 0 || close >= line.end ? line.end : close;
            const QByteArray name = data.mid(line.start + 1, end - line.start - 1).trimmed();
            if (name.compare("general", Qt::CaseInsensitive) == 0) {
                section.clear();
                continue;
            }
            section = name.compare("%general", Qt::CaseInsensitive) == 0
                ? QString::fromLatin1(name.mid(1))
                : unescapedKey(name);
            section += QLatin1Char('/');
            continue;
        }
        if (line.equals < 0)
            continue;
        int keyEnd = line.equals;
        while (keyEnd > line.start && isBlank(data.at(keyEnd - 1)))
            --keyEnd;
        const QString key = section + unescapedKey(data.mid(line.start, keyEnd - line.start));
        const QByteArray value = data.mid(line.equals + 1, line.end - line.equals - 1);
        if (value.contains('"'))
            values.remove(key);
        else
            values.insert(key, unescapedValue(value, codec));
    }
    return values;
}

} // namespace

QString settingsText(const QVariant &value)
{
    return value.type() == QVariant::StringList || value.type() == QVariant::List
        ? value.toStringList().join(QLatin1Char(','))
        : value.toString();
}

void keepWrittenText(QSettings &file, const std::function<bool(const QString &name)> &isList)
{
    QFile in(file.fileName());
    if (!in.open(QIODevice::ReadOnly))
        return;
    const QString group = file.group();
    while (!file.group().isEmpty())
        file.endGroup();
    const QHash<QString, WrittenValue> written = writtenValues(in.readAll(), file.iniCodec());
    for (auto it = written.cbegin(); it != written.cend(); ++it) {
        const QVariant value = file.value(it.key());
        // Only what QSettings read from that very line, nothing set in memory since. Items
        // starting with "@" make it a list of variants.
        if ((value.type() == QVariant::StringList || value.type() == QVariant::List)
            && value.toStringList() == it.value().items
            && !(isList && isList(it.key().section(QLatin1Char('/'), -1))))
            file.setValue(it.key(), it.value().text);
    }
    if (!group.isEmpty())
        file.beginGroup(group);
}
