#pragma once

#include <string>
#include <sys/types.h>

// Clients of the instrument on its three channels, in a process of their own so that their
// processor time stays out of the instrument's figure: the far end of the serial port, one
// TCP client and one DDE client linked to txtOutput. Each counts the data lines it receives
// (replies and "OK" updates are not data lines).
namespace bench {

struct ChannelCounts
{
    long serial = 0;
    long tcp = 0;
    long dde = 0;
};

class ChannelClients
{
public:
    // Forks the client process. `serialFarEnd` is the far end of the instrument's serial
    // port, -1 for none; the TCP client connects to `tcpPort` whenever the instrument
    // listens, never with port 0; the DDE client links to the instrument at `ddeSocket` as
    // soon as it accepts a conversation. Call before the application object exists: the
    // child runs no Qt.
    ChannelClients(int serialFarEnd, unsigned short tcpPort, const std::string &ddeSocket);
    ~ChannelClients();
    ChannelClients(const ChannelClients &) = delete;
    ChannelClients &operator=(const ChannelClients &) = delete;

    // The data lines counted since the previous call, per channel, and whether the DDE and
    // TCP clients are connected at this moment.
    ChannelCounts takeCounts(bool *ddeLinked = nullptr, bool *tcpConnected = nullptr);

private:
    pid_t m_child = -1;
    int m_requests = -1;
    int m_answers = -1;
};

} // namespace bench
