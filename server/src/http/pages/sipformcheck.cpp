#include "http/pages/sipformcheck.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringList>

namespace {

using Form = QHash<QString, QString>;

// Voice payload numbers the codec layer knows; telephone events are no choice of their own.
const QStringList kVoiceCodecs
    = { QStringLiteral("8"), QStringLiteral("0"), QStringLiteral("3"), QStringLiteral("9") };
// A conversation binds four consecutive ports of the range.
const int kPortsPerCall = 4;
const qint64 kMaxCallSeconds = 7 * 24 * 3600;
const qint64 kMaxExpiresSeconds = 24 * 3600;
const qint64 kMaxRtpTimeoutSeconds = 3600;

SipFormError error(const QString &field, const char *code)
{
    return { field, QLatin1String(code) };
}

// As isNumberIn, handing out the number too.
bool numberIn(const QString &text, qint64 low, qint64 high, qint64 *value = nullptr)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,10}$"));
    if (!digits.match(text).hasMatch())
        return false;
    const qint64 number = text.toLongLong();
    if (value)
        *value = number;
    return number >= low && number <= high;
}

bool isPort(const QString &text, qint64 *value = nullptr)
{
    return numberIn(text, 1, 65535, value);
}

// ASCII case alone: Unicode folding takes a long s for "s", so "\u017ftatic" would pass as
// "static" while the rule that then asks for the static address would not see it.
bool oneOf(const QString &text, std::initializer_list<const char *> words)
{
    for (const QChar c : text) {
        if (c.unicode() > 0x7f)
            return false;
    }
    for (const char *word : words) {
        if (text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// host or host:port, as a STUN server is written.
bool isHostAndPort(const QString &text)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return isHostName(text);
    return isHostName(text.left(colon)) && isPort(text.mid(colon + 1));
}

SipFormError checkPorts(const Form &form, const std::function<QString(const QString &)> &stored)
{
    for (const char *key :
         { "standalone-bind-port", "server-port", "server-proxy-port", "server-bind-port" }) {
        const QString name = QLatin1String(key);
        if (form.contains(name) && !isPort(form.value(name)))
            return error(name, "wrong_port");
    }
    return checkPortRange(form, QStringLiteral("port-range-start"),
                          QStringLiteral("port-range-stop"), kPortsPerCall, stored);
}

SipFormError checkAddresses(const Form &form, bool standalone)
{
    const QString bind = QStringLiteral("standalone-bind-address");
    if (standalone && form.contains(bind) && !isUsableBindAddress(form.value(bind)))
        return error(bind, "wrong_ip");
    if (standalone)
        return {};
    // Gateway mode: an address the mode uses must be given; one it does not use may be empty.
    const QString typeExt = form.value(QStringLiteral("type-ext-address")).toLower();
    const struct
    {
        const char *key;
        bool required;
    } addresses[] = {
        { "server-address", true },
        { "server-proxy-address", form.contains(QStringLiteral("server-proxy-use")) },
        { "ext-address-static", typeExt == QLatin1String("static") },
    };
    for (const auto &address : addresses) {
        const QString name = QLatin1String(address.key);
        if (!form.contains(name))
            continue;
        const QString value = form.value(name);
        if ((value.isEmpty() && address.required) || (!value.isEmpty() && !isHostName(value)))
            return error(name, "wrong_ip");
    }
    // An empty STUN server means the built-in public one.
    const QString stun = QStringLiteral("ext-address-stun");
    if (!form.value(stun).isEmpty() && !isHostAndPort(form.value(stun)))
        return error(stun, "wrong_ip");
    return {};
}

SipFormError checkChoices(const Form &form)
{
    const QString transport = QStringLiteral("server-transport");
    if (form.contains(transport) && !oneOf(form.value(transport), { "udp", "tcp" }))
        return error(transport, "wrong_value");
    const QString typeExt = QStringLiteral("type-ext-address");
    if (form.contains(typeExt)
        && !oneOf(form.value(typeExt), { "direct", "auto", "static", "stun" }))
        return error(typeExt, "wrong_value");
    const QString duration = QStringLiteral("call-duration");
    if (form.contains(duration) && !numberIn(form.value(duration), 1, kMaxCallSeconds))
        return error(duration, "wrong_number");
    return {};
}

// The first codec is required; the others may be left out, but none may repeat.
SipFormError checkCodecs(const Form &form)
{
    QStringList chosen;
    for (int i = 1; i <= 4; ++i) {
        const QString name = QStringLiteral("codec%1").arg(i);
        if (!form.contains(name))
            continue;
        const QString value = form.value(name);
        if (value.isEmpty() && i > 1)
            continue;
        if (!kVoiceCodecs.contains(value) || chosen.contains(value))
            return error(name, "wrong_codec");
        chosen << value;
    }
    return {};
}

} // namespace

bool isNumberIn(const QString &text, qint64 low, qint64 high)
{
    return numberIn(text, low, high);
}

SipFormError checkListener(const Form &form, const QString &addressKey, const QString &portKey)
{
    if (form.contains(addressKey) && !isHostName(form.value(addressKey)))
        return error(addressKey, "wrong_ip");
    if (form.contains(portKey) && !isPort(form.value(portKey)))
        return error(portKey, "wrong_port");
    return {};
}

SipFormError checkPortRange(const Form &form, const QString &startKey, const QString &stopKey,
                            int minPorts, const std::function<QString(const QString &)> &stored)
{
    for (const QString &key : { startKey, stopKey }) {
        if (form.contains(key) && !isPort(form.value(key)))
            return error(key, "wrong_port");
    }
    if (!form.contains(startKey) && !form.contains(stopKey))
        return {};
    qint64 start = 0;
    qint64 stop = 0;
    const bool known = isPort(form.value(startKey, stored(startKey)), &start)
        && isPort(form.value(stopKey, stored(stopKey)), &stop);
    if (!known || stop - start + 1 < minPorts)
        return error(form.contains(stopKey) ? stopKey : startKey, "wrong_range");
    return {};
}

bool isUsableBindAddress(const QString &address)
{
    if (address == QLatin1String("0.0.0.0"))
        return true;
    QHostAddress host;
    if (!host.setAddress(address) || host.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    const quint32 ip = host.toIPv4Address();
    const quint32 first = ip >> 24;
    const quint32 last = ip & 0xff;
    return first >= 1 && first <= 254 && last >= 1 && last <= 254;
}

bool isHostName(const QString &text)
{
    QHostAddress host;
    if (host.setAddress(text))
        return host.protocol() == QAbstractSocket::IPv4Protocol;
    static const QRegularExpression name(QStringLiteral(
        "^(?=.{1,253}$)([A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,"
        "61}[A-Za-z0-9])?)*\\.?$"));
    // All digits and dots would be a malformed address rather than a name.
    static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$"));
    return name.match(text).hasMatch() && !numeric.match(text).hasMatch();
}

bool isUsableAccountName(const QString &name)
{
    // The unreserved characters of a SIP user part, less those that separate members,
    // nest settings groups or need escaping in a URI.
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_.!~*'()&=+$-]{1,64}$"));
    return pattern.match(name).hasMatch();
}

SipFormError checkSipSettings(const Form &form, bool standalone,
                              const std::function<QString(const QString &)> &stored)
{
    // The mode switch stores the mode and nothing else.
    const QString mode = QStringLiteral("standalone");
    if (form.contains(mode))
        return oneOf(form.value(mode), { "true", "false" }) ? SipFormError()
                                                            : error(mode, "wrong_value");
    for (const SipFormError &found : { checkPorts(form, stored), checkAddresses(form, standalone),
                                       checkChoices(form), checkCodecs(form) }) {
        if (!found.isNone())
            return found;
    }
    return {};
}

SipFormError checkSipAccount(const Form &form)
{
    const struct
    {
        const char *key;
        qint64 low;
        qint64 high;
    } numbers[] = {
        { "sip-server-expires", 1, kMaxExpiresSeconds },
        { "sip-standalone-expires", 1, kMaxExpiresSeconds },
        { "sip-rtp-timeout", 1, kMaxRtpTimeoutSeconds },
        // 65535 is no device: it is what an account without one reads as.
        { "velk-device-id", 0, 65534 },
    };
    for (const auto &number : numbers) {
        const QString name = QLatin1String(number.key);
        const QString value = form.value(name);
        // A device number may be left empty: the account then has no door device.
        if (form.contains(name) && !(value.isEmpty() && name == QLatin1String("velk-device-id"))
            && !numberIn(value, number.low, number.high))
            return error(name, "wrong_number");
    }
    const QString wiretapping = QStringLiteral("velk-wiretapping");
    if (form.contains(wiretapping)
        && !oneOf(form.value(wiretapping), { "false", "true", "paging", "control" }))
        return error(wiretapping, "wrong_value");
    const QString type = QStringLiteral("type-user");
    if (form.contains(type) && !oneOf(form.value(type), { "0", "1" }))
        return error(type, "wrong_value");
    return {};
}
