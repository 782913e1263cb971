#include "sip/sipdialogindex.h"

#include "sip/sipdialog.h"

SipDialogIndex::SipDialogIndex(QObject *parent)
    : QObject(parent)
{
}

SipDialog *SipDialogIndex::add(SipDialog *dialog)
{
    if (!dialog)
        return nullptr;
    const QString key = dialog->objectName();
    m_Dialogs.insert(key, dialog);
    // The index as context: a connection of a destroyed index is gone with it.
    connect(dialog, &QObject::destroyed, this,
            [this, key](QObject *object) { remove(key, object); });
    return dialog;
}

SipDialog *SipDialogIndex::find(const QString &key) const
{
    // Values of one key come newest first.
    SipDialog *oldest = nullptr;
    for (auto it = m_Dialogs.constFind(key); it != m_Dialogs.cend() && it.key() == key; ++it)
        oldest = it.value();
    return oldest;
}

void SipDialogIndex::remove(const QString &key, QObject *dialog)
{
    for (auto it = m_Dialogs.find(key); it != m_Dialogs.end() && it.key() == key; ++it) {
        if (it.value() == dialog) {
            m_Dialogs.erase(it);
            return;
        }
    }
}
