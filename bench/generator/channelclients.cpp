#include "channelclients.h"

#include "linecounter.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr int kPollMilliseconds = 50;
constexpr size_t kReadChunk = 65536;

struct Answer
{
    ChannelCounts counts;
    bool ddeLinked = false;
    bool tcpConnected = false;
};

int connectTcp(unsigned short port)
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return descriptor;
    ::close(descriptor);
    return -1;
}

int connectDde(const std::string &path)
{
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        const char initiate[] = "INITIATE Kestrin\nADVISE txtOutput\n";
        if (::send(descriptor, initiate, sizeof initiate - 1, MSG_NOSIGNAL) == ssize_t(sizeof initiate - 1))
            return descriptor;
    }
    ::close(descriptor);
    return -1;
}

void closeDescriptor(int &descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

[[noreturn]] void runClients(int serial, unsigned short tcpPort, const std::string &ddeSocket, int requests,
                             int answers)
{
    int tcp = -1;
    int dde = -1;
    bool ddeLinked = false;
    Answer answer;
    LineCounter serialLines('\r');
    LineCounter tcpLines('\r');
    LineCounter ddeLines('\n', "UPDATE txtOutput ");
    char chunk[kReadChunk];

    for (;;) {
        if (tcp < 0 && tcpPort != 0)
            tcp = connectTcp(tcpPort);
        if (dde < 0) {
            dde = connectDde(ddeSocket);
            ddeLinked = false;
        }
        pollfd watched[] = {{requests, POLLIN, 0}, {serial, POLLIN, 0}, {tcp, POLLIN, 0}, {dde, POLLIN, 0}};
        if (::poll(watched, 4, kPollMilliseconds) <= 0)
            continue;
        if (watched[0].revents) {
            char request = 0;
            if (::read(requests, &request, 1) <= 0)
                ::_exit(0);
            answer.ddeLinked = ddeLinked;
            answer.tcpConnected = tcp >= 0;
            if (::write(answers, &answer, sizeof answer) != ssize_t(sizeof answer))
                ::_exit(1);
            answer.counts = {};
        }
        if (watched[1].revents & POLLIN) {
            const ssize_t got = ::read(serial, chunk, sizeof chunk);
            if (got > 0)
                serialLines.take(chunk, size_t(got), answer.counts.serial);
        }
        if (watched[2].revents) {
            const ssize_t got = ::recv(tcp, chunk, sizeof chunk, 0);
            if (got > 0) {
                tcpLines.take(chunk, size_t(got), answer.counts.tcp);
            } else {
                closeDescriptor(tcp);
                tcpLines.reset();
            }
        }
        if (watched[3].revents) {
            const ssize_t got = ::recv(dde, chunk, sizeof chunk, 0);
            const std::string received = got > 0 ? std::string(chunk, size_t(got)) : std::string();
            // The item's text in answer to the advise shows the link is in place; a refusal
            // (the instrument is still off) is tried again.
            ddeLinked = ddeLinked || received.find("DATA ") != std::string::npos;
            if (got > 0 && (ddeLinked || received.find("NACK") == std::string::npos)) {
                ddeLines.take(chunk, size_t(got), answer.counts.dde);
            } else {
                closeDescriptor(dde);
                ddeLines.reset();
            }
        }
    }
}

} // namespace

ChannelClients::ChannelClients(int serialFarEnd, unsigned short tcpPort, const std::string &ddeSocket)
{
    int requests[2];
    int answers[2];
    if (::pipe(requests) != 0 || ::pipe(answers) != 0)
        return;
    m_child = ::fork();
    if (m_child == 0) {
        ::close(requests[1]);
        ::close(answers[0]);
        runClients(serialFarEnd, tcpPort, ddeSocket, requests[0], answers[1]);
    }
    ::close(requests[0]);
    ::close(answers[1]);
    m_requests = requests[1];
    m_answers = answers[0];
}

ChannelClients::~ChannelClients()
{
    ::close(m_requests);
    ::close(m_answers);
    if (m_child > 0)
        ::waitpid(m_child, nullptr, 0);
}

ChannelCounts ChannelClients::takeCounts(bool *ddeLinked, bool *tcpConnected)
{
    Answer answer;
    const char request = 1;
    if (::write(m_requests, &request, 1) != 1 || ::read(m_answers, &answer, sizeof answer) != ssize_t(sizeof answer))
        return {};
    if (ddeLinked)
        *ddeLinked = answer.ddeLinked;
    if (tcpConnected)
        *tcpConnected = answer.tcpConnected;
    return answer.counts;
}

} // namespace bench
