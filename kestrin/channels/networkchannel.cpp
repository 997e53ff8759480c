#include "networkchannel.h"

#include "channellogging.h"
#include "instrument.h"

#include "errors.h"
#include "eventloop.h"
#include "socketcontrol.h"

using platform::SocketControl;

namespace {
constexpr qint16 kDefaultServerPort = 1234;
}

NetworkChannel::NetworkChannel(Instrument &instrument, QObject *parent)
    : CommandChannel(instrument, parent)
    , sckServer(new SocketControl(this))
{
    sckServer->setObjectName(QStringLiteral("sckServer"));
    SetNetworkDefaults();
    connect(sckServer, &SocketControl::connectionRequested, this, [this](qint32 requestID) {
        guarded(QStringLiteral("Error (frmMain - sckServer_ConnectionRequest) "),
                [this, requestID] { sckServer_ConnectionRequest(requestID); });
    });
    connect(sckServer, &SocketControl::dataArrived, this, [this](qint32 bytesTotal) {
        guarded(QStringLiteral("Error (frmMain - sckServer_DataArrival) "),
                [this, bytesTotal] { sckServer_DataArrival(bytesTotal); });
    });
    connect(sckServer, &SocketControl::closed, this, &NetworkChannel::sckServer_Close);
    connect(sckServer, &SocketControl::errorOccurred, this, &NetworkChannel::sckServer_Error);
    // A client that sent its last command and shut its side keeps reading while the
    // instrument analyzes; once no lines come (idle, paused or off), its connection is closed
    // so that it can finish.
    connect(sckServer, &SocketControl::finishedClientIdle, this, [this] {
        if (m_instrument.state() != InstrumentState::Analyzing)
            sckServer->releaseFinishedClient();
    });
    // Not gated on the socket's state: while the socket is reset it reads closed, yet a
    // client that finished sending still takes the lines it asked for.
    connect(&instrument, &Instrument::dataLine, this, &NetworkChannel::ReturnNetworkResult);
}

void NetworkChannel::SetNetworkDefaults()
{
    NetworkEnabled = false;
    ServerPort = kDefaultServerPort;
}

void NetworkChannel::ResetNetworkConnection()
{
    m_commandBuffer.clear();
    if (sckServer->State() != SocketControl::Closed)
        sckServer->Close();
    // The instrument's one pause in a reset: between closing and listening again, the events
    // already waiting run. The socket itself needs no pause (Close() is complete at once);
    // what depends on it is when those events are handled. On ON they come before the state
    // turns Idle, so a command that another channel delivers here is judged against the Off
    // state and the panel is painted lit before the port listens; after a client has finished
    // sending, a line that a tick makes here still reaches it (ReturnNetworkResult looks for
    // a reader, not at the socket's state). Without the pause those events would wait until
    // the socket listens and the instrument is on: a command that came on another channel
    // while ON was carried out would be carried out too instead of refused. Whatever ran here
    // may have reset or closed this channel.
    platform::letEventsRun();
    // A reset handled during the yield may have opened the socket again; this one decides.
    if (sckServer->State() != SocketControl::Closed)
        sckServer->Close();
    sckServer->setLocalPort(ServerPort);
    if (!NetworkEnabled) {
        emit statusMessage(QString());
        return;
    }
    try {
        sckServer->Listen();
        qCDebug(lcTcp) << "listening on port" << ServerPort;
        emit statusMessage(QStringLiteral("Listening ..."));
    } catch (const platform::RuntimeError &failure) {
        // A port that cannot be bound leaves the channel closed; the instrument keeps its
        // state and its other channels.
        sckServer->Close();
        emit statusMessage(QString());
        reportError(failure.error(), QStringLiteral("Error (frmMain - ResetNetworkConnection) "));
    }
}

void NetworkChannel::TerminateNetworkConnection()
{
    m_commandBuffer.clear();
    sckServer->Close();
}

QString NetworkChannel::GetNetworkCommand()
{
    return TakeReceivedCommand(m_commandBuffer, sckServer->GetData(),
                               QStringLiteral("Error (frmMain - GetNetworkCommand) "));
}

void NetworkChannel::ReturnNetworkResult(const QString &text)
{
    // Only a client can take the line: the connected one, or one that has finished sending
    // and still reads.
    if (!sckServer->hasReader())
        return;
    try {
        sckServer->SendData(text + m_instrument.LineTerm());
    } catch (const platform::RuntimeError &failure) {
        // The socket has let that client go (one that stopped reading, or whose connection
        // failed) and listens again for the next one, so this is reported once.
        reportError(failure.error(), QStringLiteral("Kestrin Error (frmMain - ReturnNetworkResult) "));
    }
}

void NetworkChannel::sckServer_ConnectionRequest(qint32 requestID)
{
    if (m_instrument.state() == InstrumentState::Off)
        return;
    if (sckServer->State() != SocketControl::Listening)
        return;
    sckServer->Close();
    // The pause between ending the listening and taking the client: the events already
    // waiting run before the new client is served. A line that a due tick makes here still
    // goes to the client that finished sending and asked for the run, not to the newcomer,
    // and a command waiting on another channel is answered first; Accept() then lets the
    // finished client go in order. Without the pause the newcomer would take over at once
    // and receive the lines made for the client before it.
    platform::letEventsRun();
    // The events handled just now may have switched the instrument off or re-opened the
    // socket; the request is then refused like any other.
    if (m_instrument.state() == InstrumentState::Off || sckServer->State() != SocketControl::Closed)
        return;
    sckServer->Accept(requestID);
    qCDebug(lcTcp) << "accepted request" << requestID;
    emit statusMessage(QStringLiteral("Network connection accepted!"));
}

void NetworkChannel::sckServer_DataArrival(qint32)
{
    const QString command = GetNetworkCommand();
    if (command.isEmpty())
        return;
    qCDebug(lcTcp) << "received" << command;
    ReturnNetworkResult(m_instrument.ExecuteCommand(command).reply);
}

void NetworkChannel::sckServer_Close()
{
    qCDebug(lcTcp) << "client closed";
    ResetNetworkConnection();
}

void NetworkChannel::sckServer_Error(qint16 number, const QString &description)
{
    emit problemReported(QStringLiteral("sckServer Error: ") + QString::number(number) + QLatin1Char(' ')
                         + description);
}
