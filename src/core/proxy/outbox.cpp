#include "core/proxy/outbox.h"

namespace tavrix {

void Outbox::Respond(const PeerAddress& to, std::string_view status, const Message& source,
                     std::int16_t timeLeft, std::string_view ownLine)
{
    m_log.WriteLog(Level::Debug, "Sending '", status, "' to ", to.IP, ":", to.Port);
    m_sender.SendDatagram(BuildResponse(status, source, timeLeft, ownLine), to.IP, to.Port);
}

void Outbox::AnswerSender(const PeerAddress& peer, std::string_view status, const Message& source,
                          std::string_view ownLine, std::int16_t timeLeft)
{
    Respond(peer, status, source, timeLeft, ownLine);
}

void Outbox::AnswerCaller(const CallRecord& rec, const PeerAddress& peer, std::string_view status,
                          const Message& source)
{
    if (rec.Caller.IP.empty() || rec.Caller.Port == 0) {
        AnswerSender(peer, status, source, {}, rec.TimeLeft);
    } else {
        Respond(rec, Side::Caller, status, source);
    }
}

void Outbox::Forward(const CallRecord& rec, Side side, std::string_view method,
                     const Message& source)
{
    const PeerAddress& to = rec.Party(side);
    m_log.WriteLog(Level::Debug, "Sending '", method, "' request to: ", to.IP, ":", to.Port);
    const std::string& target =
        side == Side::Callee || rec.Contact.empty() ? rec.Callee.Uri : rec.Contact;
    m_sender.SendDatagram(BuildRequest(method, target, source, m_self), to.IP, to.Port);
}

} // namespace tavrix
