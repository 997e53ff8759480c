// frmMain: the TCP server command channel.

#include "core/frmMain.h"

void frmMain::setNetworkEnabled(bool enabled)
{
    NetworkEnabled = enabled;
}

void frmMain::setServerPort(qint16 port)
{
    ServerPort = port;
}

void frmMain::ResetNetworkConnection()
{
    CommandBuffer.clear();
    setStatusText(QString());
}

void frmMain::TerminateNetworkConnection()
{
    CommandBuffer.clear();
}

void frmMain::ReturnNetworkResult(const QString &)
{
}

void frmMain::mnuEditNetworkSettings_Click()
{
}
