#include "sipmessage.h"

#include "sipuser.h"

void SipMessage::setContact(SipUser *user)
{
    if (user == nullptr)
        return;
    setContact(user->objectName(), user->m_ServerAddress, user->m_ServerPort, user->m_Transport);
}
