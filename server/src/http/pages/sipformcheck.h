#pragma once

#include <QHash>
#include <QString>

#include <functional>

// The first value of a posted form that may not be stored: the field and an error code the
// page script explains ("wrong_ip", "wrong_port", "wrong_range", "wrong_number", "wrong_codec",
// "wrong_value", "bad_name"). No code means every value passes; an error of the whole form names
// no field. The SIP forms use it, and the settings forms of the web and door-device modules take
// the listener checks below.
struct SipFormError
{
    QString field;
    QString code;
    bool isNone() const { return code.isEmpty(); }
};

// The code of a save or delete that was made but could not be written to its file.
inline const QString kNotSaved = QStringLiteral("not_saved");

// A standalone listening address: the wildcard "0.0.0.0" (every interface, which the engine
// resolves itself) or an IPv4 host address whose first and last octets lie in 1..254.
bool isUsableBindAddress(const QString &address);

// An IPv4 address or a host name the resolver can take.
bool isHostName(const QString &text);

// A whole decimal number within [low, high]; nothing else, not even blanks or a sign.
bool isNumberIn(const QString &text, qint64 low, qint64 high);

// The address and port a module listens on when it resolves the address itself (the web and
// door-device modules): "0.0.0.0", an IPv4 address or a host name, and a port 1..65535.
// Fields the form lacks are not checked.
SipFormError checkListener(const QHash<QString, QString> &form, const QString &addressKey,
                           const QString &portKey);

// A port range of at least minPorts ports, both ends included. A bound the form lacks is taken
// from stored (by key); a form with neither passes.
SipFormError checkPortRange(const QHash<QString, QString> &form, const QString &startKey,
                            const QString &stopKey, int minPorts,
                            const std::function<QString(const QString &)> &stored);

// An account or group name: it becomes a group of the accounts file, a SIP user part and an
// entry of comma-separated member lists, so only characters safe in all three are allowed.
bool isUsableAccountName(const QString &name);

// The whole settings form of the given mode, or the mode switch alone. Ranges are checked
// against the stored value of a bound the form does not carry (stored gives it by key).
SipFormError checkSipSettings(const QHash<QString, QString> &form, bool standalone,
                              const std::function<QString(const QString &)> &stored);

// The numbers of an account or group form.
SipFormError checkSipAccount(const QHash<QString, QString> &form);
