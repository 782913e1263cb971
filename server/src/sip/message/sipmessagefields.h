#pragma once

#include "sip/message/kbasecontactaddress.h"
#include "sip/message/kbaseviaaddress.h"
#include "sip/message/sipmethod.h"

#include <QString>

#include <optional>

// Whether a and b are one shared string (and so hold the same text).
inline bool sameString(const QString &a, const QString &b)
{
    return a.constData() == b.constData() && a.size() == b.size();
}

// A typed view of one header text, kept with the text it was read from. It stands for that
// text only: a view answers while the message holds the very same shared string (an
// implicitly shared QString changes its data when it is written to, and the view's copy keeps
// the old data from being reused), so every change of the header, through a setter or
// directly in the table, sends the reader back to the text.
template<typename T> class SipParsedValue
{
public:
    void set(const QString &source, T &&view)
    {
        m_source = source;
        m_view = std::move(view);
    }
    // The view when text is the string it was read from, else nullptr.
    const T *of(const QString *text) const
    {
        return m_view && text != nullptr && sameString(*text, m_source) ? &*m_view : nullptr;
    }

private:
    QString m_source;
    // Empty until set: an address built from nothing still runs its parser.
    std::optional<T> m_view;
};

struct SipViaView
{
    KBaseViaAddress<1> via;
    QString branch;
};

struct SipAddressView
{
    KBaseContactAddress<1> address;
    QString tag;
};

struct SipCSeqView
{
    uint number = 0;
    SipMethod::Type method = SipMethod::Unknown;
};

// The transaction key of a message without a method given, read from its Call-ID text, its
// CSeq text and its own method.
struct SipKeyView
{
    QString key;
    QString cseq;
    SipMethod::Type method = SipMethod::Unknown;
};

// The first comma-separated entry of a Via value read as a Via; the Via of the empty text (not
// valid) when it does not read.
KBaseViaAddress<1> firstViaEntry(const QString &value);

// What the transactions read of every message, parsed once where the message is parsed or
// built. Written only by the message's non-const code, read only by its const code: a message
// copied to other threads is read there without any write.
struct SipMessageFields
{
    SipParsedValue<SipViaView> topVia;
    SipParsedValue<SipAddressView> from;
    SipParsedValue<SipAddressView> to;
    SipParsedValue<SipAddressView> contact;
    SipParsedValue<SipCSeqView> cseq;
    SipParsedValue<SipKeyView> key;
};
