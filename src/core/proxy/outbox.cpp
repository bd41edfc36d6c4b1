#include "core/proxy/outbox.h"

namespace tavrix {

namespace {

// A flood from ever new (forged) sources keeps the table small: past this many sources in a
// second, a new one gets no answer.
constexpr std::size_t kMaxAnsweredSources = 10000;

} // namespace

void Outbox::Respond(const PeerAddress& to, std::string_view status, const Message& source,
                     std::int16_t timeLeft, std::string_view ownLine)
{
    Send(to, status, BuildResponse(status, source, timeLeft, ownLine));
}

void Outbox::Answer(const PeerAddress& sender, std::string_view status, const Message& source,
                    std::string_view ownLine)
{
    const auto known = m_answers.find(sender.IP);
    const bool room = known != m_answers.end() ? known->second < kAnswersPerSecond
                                               : m_answers.size() < kMaxAnsweredSources;
    std::string text = BuildResponse(status, source, 0, ownLine);
    // The bytes of an answer to a datagram of unknown origin stay below 1.5 times its own.
    if (!room || text.size() * 2 > source.Text().size() * 3) {
        m_log.Count(Flood::AnswerLimit);
        ++m_leftOut;
        return;
    }
    ++m_answers[sender.IP];
    Send(sender, status, text);
}

void Outbox::Send(const PeerAddress& to, std::string_view status, const std::string& text)
{
    m_log.WriteLog(Level::Debug, "Sending '", status, "' to ", to.IP, ":", to.Port);
    m_sender.SendDatagram(text, to.IP, to.Port);
}

void Outbox::Forward(const CallRecord& rec, Side side, std::string_view method,
                     const Message& source)
{
    const PeerAddress& to = rec.Party(side);
    m_log.WriteLog(Level::Debug, "Sending '", method, "' request to: ", to.IP, ":", to.Port);
    const std::string& target =
        side == Side::Callee || rec.Contact.empty() ? rec.Callee.Uri : rec.Contact;
    m_sender.SendDatagram(BuildRequest(method, target, source, m_self, m_realm), to.IP, to.Port);
}

void Outbox::Tick()
{
    if (m_leftOut > 0) {
        m_log.WriteLog(Level::Err, m_leftOut,
                       " answers not sent: more than 20 a second for one address, or larger "
                       "than 1.5 times their request");
    }
    m_leftOut = 0;
    m_answers.clear();
}

} // namespace tavrix
