#pragma once

#include <QByteArray>
#include <QTimer>

// The keys one sender pressed in a device's call, waiting to complete a dial plan code. Goes
// when its keys are used up, after ten quiet seconds, or when the device changes state.
class SipInfoTimer : public QTimer
{
    Q_OBJECT
public:
    static constexpr int kIntervalMs = 10000;

    SipInfoTimer(const QString &id, QObject *parent);

    // 0..9 are the digits, 10 '*', 11 '#'; any other value is kept as that byte.
    QByteArray addDigit(uchar key);
    void consume(const QByteArray &prefix);
    QByteArray digits() const { return m_Digits; }
    static SipInfoTimer *find(QObject *device, const QString &id);

public slots:
    void onTimeout();
    // Deleted later, but out of reach at once: a key that comes meanwhile starts a new buffer
    // instead of going down with this one.
    void retire();

private:
    QByteArray m_Digits;
};
