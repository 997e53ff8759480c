// frmMain: the DDE command channel.

#include "core/frmMain.h"

void frmMain::setLinkMode(int mode)
{
    m_linkMode = mode;
}
