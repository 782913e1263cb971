#include "sip/message/sipmessage.h"

#include "sip/sipuser.h"

void SipMessage::setContact(SipUser *user)
{
    if (user == nullptr)
        return;
    setContact(user->objectName(), user->m_ServerAddress, user->m_ServerPort, user->m_Transport);
}
