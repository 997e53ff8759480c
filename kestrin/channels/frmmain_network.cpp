// frmMain: the TCP server command channel. One client at a time: the socket either listens
// or carries the accepted connection.

#include "core/frmMain.h"

#include "dialogs/frmNetworkSettings.h"

#include "errors.h"
#include "messagebox.h"
#include "socketcontrol.h"

#include <QCoreApplication>

using platform::SocketControl;

void frmMain::setNetworkEnabled(bool enabled)
{
    NetworkEnabled = enabled;
}

void frmMain::setServerPort(qint16 port)
{
    ServerPort = port;
}

platform::SocketControl *frmMain::createNetworkChannel()
{
    auto *socket = new SocketControl(this);
    socket->setObjectName(QStringLiteral("sckServer"));
    connect(socket, &SocketControl::connectionRequested, this, &frmMain::sckServer_ConnectionRequest);
    connect(socket, &SocketControl::dataArrived, this, &frmMain::sckServer_DataArrival);
    connect(socket, &SocketControl::closed, this, &frmMain::sckServer_Close);
    connect(socket, &SocketControl::errorOccurred, this, &frmMain::sckServer_Error);
    // A client that sent its last command and shut its side keeps reading while the
    // instrument analyzes; once no lines come (idle, paused or off), its connection is closed
    // so that it can finish.
    connect(socket, &SocketControl::finishedClientIdle, this, [this, socket] {
        if (m_instrumentState != InstrumentState::Analyzing)
            socket->releaseFinishedClient();
    });
    return socket;
}

void frmMain::ResetNetworkConnection()
{
    m_networkCommandBuffer.clear();
    if (sckServer->State() != SocketControl::Closed)
        sckServer->Close();
    QCoreApplication::processEvents();
    // A reset handled during the yield may have opened the socket again; this one decides.
    if (sckServer->State() != SocketControl::Closed)
        sckServer->Close();
    sckServer->setLocalPort(ServerPort);
    if (!NetworkEnabled) {
        setStatusText(QString());
        return;
    }
    try {
        sckServer->Listen();
        setStatusText(QStringLiteral("Listening ..."));
    } catch (const platform::RuntimeError &failure) {
        // A port that cannot be bound leaves the channel closed; the instrument keeps its
        // state and its other channels.
        sckServer->Close();
        setStatusText(QString());
        platform::reportMessage(failure.error().message(QStringLiteral("Error (frmMain - ResetNetworkConnection) ")));
    }
}

void frmMain::TerminateNetworkConnection()
{
    m_networkCommandBuffer.clear();
    sckServer->Close();
}

QString frmMain::GetNetworkCommand()
{
    return TakeReceivedCommand(m_networkCommandBuffer, QStringLiteral("Error (frmMain - GetNetworkCommand) "),
                               [this] { return sckServer->GetData(); });
}

void frmMain::ReturnNetworkResult(const QString &text)
{
    // Only a client can take the line: the connected one, or one that has finished sending
    // and still reads. With none (the socket only listens) the line is dropped, as a bench
    // instrument's output with no cable attached.
    if (!sckServer->hasReader())
        return;
    try {
        sckServer->SendData(text + LineTerm);
    } catch (const platform::RuntimeError &failure) {
        // The socket has let that client go (one that stopped reading, or whose connection
        // failed) and listens again for the next one, so this is reported once.
        platform::reportMessage(failure.error().message(QStringLiteral("Kestrin Error (frmMain - ReturnNetworkResult) ")));
    }
}

void frmMain::sckServer_ConnectionRequest(qint32 requestID)
{
    if (m_instrumentState == InstrumentState::Off)
        return;
    if (sckServer->State() != SocketControl::Listening)
        return;
    sckServer->Close();
    QCoreApplication::processEvents();
    // The events handled just now may have switched the instrument off or re-opened the
    // socket; the request is then refused like any other.
    if (m_instrumentState == InstrumentState::Off || sckServer->State() != SocketControl::Closed)
        return;
    sckServer->Accept(requestID);
    setStatusText(QStringLiteral("Network connection accepted!"));
}

void frmMain::sckServer_DataArrival(qint32)
{
    const QString command = GetNetworkCommand();
    if (!command.isEmpty())
        ReturnNetworkResult(ExecuteCommand(command));
}

void frmMain::sckServer_Close()
{
    ResetNetworkConnection();
}

void frmMain::sckServer_Error(qint16 number, const QString &description)
{
    platform::reportMessage(QStringLiteral("sckServer Error: ") + QString::number(number) + QLatin1Char(' ') + description);
}

void frmMain::mnuEditNetworkSettings_Click()
{
    if (!m_networkSettings)
        m_networkSettings = new frmNetworkSettings(this);
    m_networkSettings->show();
    m_networkSettings->raise();
    m_networkSettings->activateWindow();
}
