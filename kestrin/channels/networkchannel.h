#pragma once

#include "commandbuffer.h"
#include "commandchannel.h"

namespace platform {
class SocketControl;
}

// The TCP server command channel. One client at a time: the socket either listens or carries
// the accepted connection. Replies and data lines go to the client, framed by the line
// terminator; with no client they are dropped, as a bench instrument's output with no cable.
class NetworkChannel : public CommandChannel
{
    Q_OBJECT

public:
    explicit NetworkChannel(Instrument &instrument, QObject *parent = nullptr);

    bool networkEnabled() const { return NetworkEnabled; }
    void setNetworkEnabled(bool enabled) { NetworkEnabled = enabled; }
    qint16 serverPort() const { return ServerPort; }
    void setServerPort(qint16 port) { ServerPort = port; }

    // Closes the socket and, when enabled, listens again on the server port. ON and OFF
    // switch the socket through InstrumentChannels.
    void ResetNetworkConnection();
    void TerminateNetworkConnection();

private:
    void SetNetworkDefaults();
    QString GetNetworkCommand();
    void ReturnNetworkResult(const QString &text);
    void sckServer_ConnectionRequest(qint32 requestID);
    void sckServer_DataArrival(qint32 bytesTotal);
    void sckServer_Close();
    void sckServer_Error(qint16 number, const QString &description);

    bool NetworkEnabled = false;
    qint16 ServerPort = 0;
    platform::SocketControl *sckServer = nullptr;
    CommandLineBuffer m_commandBuffer;
};
