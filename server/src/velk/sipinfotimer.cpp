#include "velk/sipinfotimer.h"

#include "core/timescale.h"

namespace {

QString timerName(const QString &id)
{
    return QStringLiteral("sip_info_timer_%1").arg(id);
}

} // namespace

SipInfoTimer::SipInfoTimer(const QString &id, QObject *parent)
    : QTimer(parent)
{
    setObjectName(timerName(id));
    setSingleShot(true);
    connect(this, &QTimer::timeout, this, &SipInfoTimer::onTimeout);
}

QByteArray SipInfoTimer::addDigit(uchar key)
{
    char c = char(key);
    if (key <= 9)
        c = char('0' + key);
    else if (key == 10)
        c = '*';
    else if (key == 11)
        c = '#';
    start(TimeScale::toRealInt(kIntervalMs));
    m_Digits.append(c);
    return m_Digits;
}

void SipInfoTimer::consume(const QByteArray &prefix)
{
    if (m_Digits.startsWith(prefix))
        m_Digits.remove(0, prefix.size());
    if (m_Digits.isEmpty())
        retire();
}

SipInfoTimer *SipInfoTimer::find(QObject *device, const QString &id)
{
    if (!device || id.isEmpty())
        return nullptr;
    return device->findChild<SipInfoTimer *>(timerName(id));
}

void SipInfoTimer::onTimeout()
{
    m_Digits.clear();
    retire();
}

void SipInfoTimer::retire()
{
    stop();
    setObjectName(QString());
    deleteLater();
}
