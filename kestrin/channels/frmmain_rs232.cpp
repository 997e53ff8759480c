// frmMain: the RS-232 command channel.

#include "core/frmMain.h"

void frmMain::setCommPort(qint16 port)
{
    if (port == 1 || port == 2)
        CommPort = port;
}

void frmMain::setCommSettings(const QString &settings)
{
    CommSettings = settings;
}

void frmMain::setCommEnabled(bool enabled)
{
    CommEnabled = enabled;
}

void frmMain::ResetRS232Port()
{
    CommandBuffer.clear();
}

void frmMain::CloseRS232Port()
{
    CommandBuffer.clear();
}

void frmMain::ReturnRS232Result(const QString &)
{
}

void frmMain::mnuEditRS232PortSettings_Click()
{
}
