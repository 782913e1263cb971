#pragma once

#include <QMultiHash>
#include <QObject>
#include <QString>

class SipDialog;

// The engine's live transactions by object name (the transaction key), so that a message finds
// its transaction in constant time however many are alive; a recursive findChild over the
// engine's children grows with every transaction and conversation. A transaction leaves the
// index when it is destroyed, so one that is Terminated but not yet deleted is still found.
class SipDialogIndex : public QObject
{
    Q_OBJECT
public:
    explicit SipDialogIndex(QObject *parent = nullptr);

    // Returns dialog, now found by its object name.
    SipDialog *add(SipDialog *dialog);
    // Among several with one name the oldest, as a search in child order finds it.
    SipDialog *find(const QString &key) const;
    template<class T> T *find(const QString &key) const { return qobject_cast<T *>(find(key)); }
    int size() const { return m_Dialogs.size(); }

private:
    void remove(const QString &key, QObject *dialog);

    QMultiHash<QString, SipDialog *> m_Dialogs;
};
