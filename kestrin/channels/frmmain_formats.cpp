// frmMain: the transmission formats that frame text on the serial port and the TCP connection.

#include "core/frmMain.h"

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
}
