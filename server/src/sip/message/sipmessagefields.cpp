#include "sip/message/sipmessage.h"

#include "sip/message/sipgrammar.h"

namespace {

const QString kBranch = QStringLiteral("branch");
const QString kTag = QStringLiteral("tag");

SipViaView readVia(const QString *first)
{
    SipViaView view { first != nullptr ? firstViaEntry(*first) : KBaseViaAddress<1>(QString()),
                      QString() };
    view.branch = view.via.sentBy.parameters.param(kBranch, QString());
    return view;
}

SipAddressView readAddress(const QString *single)
{
    SipAddressView view { KBaseContactAddress<1>(single != nullptr ? *single : QString()),
                          QString() };
    view.tag = view.address.parameters.param(kTag);
    return view;
}

SipCSeqView readCSeq(const QString *single)
{
    SipCSeqView view;
    QStringRef number, method;
    if (single == nullptr || !SipGrammar::matchCSeq(QStringRef(single), number, method))
        return view;
    // The grammar took ASCII digits only: up to nine of them cannot overflow.
    if (number.size() <= 9) {
        for (const QChar c : number)
            view.number = view.number * 10 + uint(c.unicode() - '0');
    } else {
        bool ok = false;
        view.number = number.toUInt(&ok);
        if (!ok)
            view.number = 0;
    }
    view.method = methodType(method);
    return view;
}

// "<method>_<number>_<call-id>" in one allocation.
QString keyOf(const QString &method, uint number, const QString &callId)
{
    QChar digits[10];
    int first = 10;
    do {
        digits[--first] = QLatin1Char(char('0' + number % 10));
        number /= 10;
    } while (number != 0);
    QString key;
    key.reserve(method.size() + 12 + callId.size());
    key += method;
    key += QLatin1Char('_');
    key.append(digits + first, 10 - first);
    key += QLatin1Char('_');
    key += callId;
    return key;
}

// One member of the view of text: the parsed one while it holds, else one read now.
template<typename T, typename F>
F fieldOf(const SipParsedValue<T> &parsed, const QString *text, T (*read)(const QString *),
          F T::*member)
{
    const T *view = parsed.of(text);
    return view != nullptr ? view->*member : read(text).*member;
}

} // namespace

KBaseViaAddress<1> firstViaEntry(const QString &value)
{
    const int comma = value.indexOf(QLatin1Char(','));
    KBaseViaAddress<1> via(comma < 0 ? value : value.left(comma));
    if (!via.valid)
        return KBaseViaAddress<1>(QString());
    return via;
}

const QString *SipMessage::singleText(const SipHeader::Type &type) const
{
    const auto it = headers.constFind(type);
    return it != headers.constEnd() && it->size() == 1 ? &it->first() : nullptr;
}

const QString *SipMessage::firstText(const SipHeader::Type &type) const
{
    const auto it = headers.constFind(type);
    return it != headers.constEnd() && !it->isEmpty() ? &it->first() : nullptr;
}

QString SipMessage::ownKey() const
{
    const SipMethod::Type own = method();
    return keyOf(methodName(own == SipMethod::Ack ? SipMethod::Invite : own), cseqNumber(),
                 callId());
}

void SipMessage::refreshFields(const SipHeader::Type &type)
{
    const bool all = type == SipHeader::Unknown;
    if (all || type == SipHeader::Via) {
        const QString *first = firstText(SipHeader::Via);
        if (first != nullptr && m_fields.topVia.of(first) == nullptr)
            m_fields.topVia.set(*first, readVia(first));
    }
    const auto refreshAddress
        = [this, all, type](const SipHeader::Type &header, SipParsedValue<SipAddressView> &parsed) {
              const QString *single = singleText(header);
              if ((all || type == header) && single != nullptr && parsed.of(single) == nullptr)
                  parsed.set(*single, readAddress(single));
          };
    refreshAddress(SipHeader::From, m_fields.from);
    refreshAddress(SipHeader::To, m_fields.to);
    refreshAddress(SipHeader::Contact, m_fields.contact);
    if (!all && type != SipHeader::CSeq && type != SipHeader::CallID)
        return;
    const QString *cseq = singleText(SipHeader::CSeq);
    if (cseq == nullptr)
        return;
    if (m_fields.cseq.of(cseq) == nullptr)
        m_fields.cseq.set(*cseq, readCSeq(cseq));
    const QString *callId = singleText(SipHeader::CallID);
    if (callId == nullptr)
        return;
    const SipKeyView *key = m_fields.key.of(callId);
    if (key == nullptr || !sameString(key->cseq, *cseq) || key->method != method())
        m_fields.key.set(*callId, SipKeyView { ownKey(), *cseq, method() });
}

KBaseViaAddress<1> SipMessage::topVia() const
{
    return fieldOf(m_fields.topVia, firstText(SipHeader::Via), readVia, &SipViaView::via);
}

QString SipMessage::branch() const
{
    return fieldOf(m_fields.topVia, firstText(SipHeader::Via), readVia, &SipViaView::branch);
}

KBaseContactAddress<1> SipMessage::from() const
{
    return fieldOf(m_fields.from, singleText(SipHeader::From), readAddress,
                   &SipAddressView::address);
}

KBaseContactAddress<1> SipMessage::to() const
{
    return fieldOf(m_fields.to, singleText(SipHeader::To), readAddress, &SipAddressView::address);
}

KBaseContactAddress<1> SipMessage::contact() const
{
    return fieldOf(m_fields.contact, singleText(SipHeader::Contact), readAddress,
                   &SipAddressView::address);
}

QString SipMessage::fromTag() const
{
    return fieldOf(m_fields.from, singleText(SipHeader::From), readAddress, &SipAddressView::tag);
}

QString SipMessage::toTag() const
{
    return fieldOf(m_fields.to, singleText(SipHeader::To), readAddress, &SipAddressView::tag);
}

uint SipMessage::cseqNumber() const
{
    return fieldOf(m_fields.cseq, singleText(SipHeader::CSeq), readCSeq, &SipCSeqView::number);
}

SipMethod::Type SipMessage::cseqMethod() const
{
    return fieldOf(m_fields.cseq, singleText(SipHeader::CSeq), readCSeq, &SipCSeqView::method);
}

QString SipMessage::transactionKey(const SipMethod::Type &method) const
{
    if (method != SipMethod::Unknown)
        return keyOf(methodName(method), cseqNumber(), callId());
    const QString *callId = singleText(SipHeader::CallID);
    const QString *cseq = singleText(SipHeader::CSeq);
    const SipKeyView *view = m_fields.key.of(callId);
    if (view != nullptr && cseq != nullptr && sameString(view->cseq, *cseq)
        && view->method == this->method())
        return view->key;
    return ownKey();
}
