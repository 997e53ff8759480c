// frmMain: the transmission formats that frame text on the serial port and the TCP connection.

#include "core/frmMain.h"

#include "dialogs/frmXmitFormats.h"

void frmMain::setTokenSep(const QString &separator)
{
    TokenSep = separator;
}

void frmMain::setLineTerm(const QString &terminator)
{
    LineTerm = terminator;
}

void frmMain::mnuEditXmitFormat_Click()
{
    if (!m_xmitFormats)
        m_xmitFormats = new frmXmitFormats(this);
    m_xmitFormats->show();
    m_xmitFormats->raise();
    m_xmitFormats->activateWindow();
}
