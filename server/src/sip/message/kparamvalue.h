#pragma once

#include <QHash>
#include <QString>

// A list of name[=value] parameters split at a separator of its own, as they follow a SIP URI,
// a Contact or Via value, or an RTSP Transport header. Names are case-insensitive.
class KParamValue
{
public:
    explicit KParamValue(const QString &text = QString(),
                         const QString &separator = QStringLiteral(";"));

    void setValue(const QString &text);
    void clear();

    QString param(const QString &name, const QString &defaultValue = QString()) const;
    bool hasParam(const QString &name) const;
    void setParam(const QString &name, const QString &value = QString());
    void removeParam(const QString &name);
    bool isEmpty() const { return m_params.isEmpty(); }

    QString toString(const QString &separator = QStringLiteral(";")) const;

    QString value() const { return m_value; }
    QString separator() const { return m_separator; }
    const QHash<QString, QString> &params() const { return m_params; }

    bool operator==(const KParamValue &other) const;
    bool operator!=(const KParamValue &other) const { return !(*this == other); }

private:
    QString m_separator;
    QString m_value;
    QHash<QString, QString> m_params;
};
