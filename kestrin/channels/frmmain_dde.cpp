// frmMain: the DDE command channel. The window is a DDE source for application and topic
// "Kestrin"; its item "txtOutput" carries every reply and data line, and each execute
// string is one command line.

#include "core/frmMain.h"

#include "ddesource.h"
#include "statusbar.h"

#include <QLineEdit>

namespace {
const QString kApplicationName = QStringLiteral("Kestrin");
const QString kLinkTopic = QStringLiteral("Kestrin");
} // namespace

void frmMain::createDdeSource()
{
    m_ddeSource = new platform::DdeSource(kApplicationName, this);
    m_ddeSource->setObjectName(QStringLiteral("ddeSource"));
    m_ddeSource->setLinkTopic(kLinkTopic);
    // Clients only read the instrument's boxes: a poke into txtOutput would show other
    // clients a line the instrument never produced.
    m_ddeSource->setPokeEnabled(false);
    m_ddeSource->setLinkMode(m_linkMode);
    m_ddeSource->setHandler(this);
    connect(m_ddeSource, &platform::DdeSource::LinkClose, this, &frmMain::Form_LinkClose);
    // A second instance runs without conversations and says so where the user looks, for as
    // long as it runs: the status text alone would give way to the next one.
    if (!m_ddeSource->isServing()) {
        setStatusText(m_ddeSource->serviceProblem());
        sbrMessage->setNotice(m_ddeSource->serviceProblem());
    }
}

void frmMain::setLinkMode(int mode)
{
    m_linkMode = mode;
    if (m_ddeSource)
        m_ddeSource->setLinkMode(mode);
}

void frmMain::WriteOutput(const QString &text)
{
    // Through the source, so a linked client receives every write, a repeated line too.
    if (m_ddeSource)
        m_ddeSource->writeItem(txtOutput, text);
    else
        txtOutput->setText(text);
}

void frmMain::Form_LinkOpen(bool &cancel)
{
    if (m_instrumentState == InstrumentState::Off)
        cancel = true;
    setStatusText(QStringLiteral("DDE Link Initiated"));
}

void frmMain::Form_LinkExecute(const QString &command, bool &cancel)
{
    cancel = ExecuteCommand(command) != QLatin1String("OK");
}

void frmMain::Form_LinkClose()
{
    setStatusText(QStringLiteral("DDE Link Terminated"));
}
