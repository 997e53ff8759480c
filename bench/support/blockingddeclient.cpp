#include "blockingddeclient.h"

#include <QByteArray>
#include <cstdio>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace bench {

DdeClient::DdeClient(const QString &socketPath, int timeoutSeconds)
{
    m_descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = socketPath.toLocal8Bit();
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.constData());
    timeval timeout{timeoutSeconds, 0};
    ::setsockopt(m_descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(m_descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        std::perror("connect to the DDE socket");
}

DdeClient::~DdeClient()
{
    ::close(m_descriptor);
}

std::string DdeClient::ask(const std::string &line)
{
    const std::string message = line + '\n';
    if (::send(m_descriptor, message.data(), message.size(), MSG_NOSIGNAL) != ssize_t(message.size()))
        return {};
    for (;;) {
        if (const size_t end = m_buffer.find('\n'); end != std::string::npos) {
            std::string reply = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return reply;
        }
        char chunk[4096];
        const ssize_t received = ::recv(m_descriptor, chunk, sizeof chunk, 0);
        if (received <= 0)
            return {};
        m_buffer.append(chunk, size_t(received));
    }
}

} // namespace bench
