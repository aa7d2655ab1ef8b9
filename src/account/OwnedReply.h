#pragma once

#include <QNetworkReply>
#include <QPointer>

namespace dravelin {

// A network reply a coroutine waits on and owns: deleted (later, from the
// event loop) when the coroutine is done with it, unless its network access
// manager went first and took it along — a plain owning pointer would then
// delete it a second time.
class OwnedReply
{
public:
    explicit OwnedReply(QNetworkReply *reply) : m_reply(reply) {}
    ~OwnedReply()
    {
        if (m_reply)
            m_reply->deleteLater();
    }
    OwnedReply(const OwnedReply &) = delete;
    OwnedReply &operator=(const OwnedReply &) = delete;

    QNetworkReply *get() const { return m_reply.data(); }
    QNetworkReply *operator->() const { return m_reply.data(); }
    explicit operator bool() const { return !m_reply.isNull(); }

private:
    QPointer<QNetworkReply> m_reply;
};

} // namespace dravelin
