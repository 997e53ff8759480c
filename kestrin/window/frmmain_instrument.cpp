// frmMain: what the instrument and its channels show on the panel, the run buttons, and the
// settings the dialogs apply.

#include "frmMain.h"

#include "instrument.h"
#include "instrumentchannels.h"
#include "networkchannel.h"
#include "rs232channel.h"

#include "messagebox.h"
#include "statusbar.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

void frmMain::connectInstrument()
{
    connect(m_instrument, &Instrument::commandReceived, txtInput, &QLineEdit::setText);
    connect(m_instrument, &Instrument::stateChanged, lblState,
            [this](InstrumentState state) { lblState->setText(stateLabelText(state)); });
    connect(m_instrument, &Instrument::statusMessage, this, &frmMain::setStatusText);
    // The panel shows an operation first (on ON the lamp lights, on OFF it goes out), then the
    // channels follow it.
    connect(m_instrument, &Instrument::operationPerformed, this, [this](StateOperation operation) {
        showOperation(operation);
        m_channels->followOperation(operation);
    });
}

void frmMain::connectChannel(const CommandChannel *channel)
{
    connect(channel, &CommandChannel::lineReceived, txtInput, &QLineEdit::setText);
    connect(channel, &CommandChannel::statusMessage, this, &frmMain::setStatusText);
    // Reported without waiting: the channel goes on serving while the box is open.
    connect(channel, &CommandChannel::problemReported, this, &platform::reportMessage);
}

void frmMain::showOperation(StateOperation operation)
{
    switch (operation) {
    case StateOperation::None: break;
    case StateOperation::TurnOn:
        fraDataGeneration->setEnabled(true);
        imgOn->setVisible(true);
        imgOff->setVisible(false);
        btnOnOff->setText(QStringLiteral("Off"));
        break;
    case StateOperation::TurnOff:
        btnStartAbort->setText(QStringLiteral("Start"));
        btnPauseResume->setText(QStringLiteral("Pause"));
        btnOnOff->setText(QStringLiteral("On"));
        imgOff->setVisible(true);
        imgOn->setVisible(false);
        fraDataGeneration->setEnabled(false);
        break;
    case StateOperation::StartAnalysis: btnStartAbort->setText(QStringLiteral("Abort")); break;
    case StateOperation::PauseAnalysis: btnPauseResume->setText(QStringLiteral("Resume")); break;
    case StateOperation::ResumeAnalysis: btnPauseResume->setText(QStringLiteral("Pause")); break;
    case StateOperation::AbortAnalysis:
        btnStartAbort->setText(QStringLiteral("Start"));
        btnPauseResume->setText(QStringLiteral("Pause"));
        break;
    case StateOperation::StopAnalysis: btnStartAbort->setText(QStringLiteral("Start")); break;
    }
}

QString frmMain::ExecuteCommand(const QString &commandLine)
{
    return m_instrument->ExecuteCommand(commandLine).reply;
}

InstrumentState frmMain::instrumentState() const
{
    return m_instrument->state();
}

void frmMain::btnOnOff_Click()
{
    ExecuteCommand(instrumentState() == InstrumentState::Off ? QStringLiteral("ON") : QStringLiteral("OFF"));
}

void frmMain::btnStartAbort_Click()
{
    ExecuteCommand(instrumentState() == InstrumentState::Idle ? QStringLiteral("Analyze") : QStringLiteral("Abort"));
}

void frmMain::btnPauseResume_Click()
{
    ExecuteCommand(instrumentState() == InstrumentState::Paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
}

void frmMain::setStatusText(const QString &text)
{
    sbrMessage->setSimpleText(text);
}

void frmMain::setTokenSep(const QString &separator)
{
    m_instrument->setTokenSep(separator);
}

void frmMain::setLineTerm(const QString &terminator)
{
    m_instrument->setLineTerm(terminator);
}

void frmMain::setCommPort(qint16 port)
{
    m_channels->rs232().setCommPort(port);
}

void frmMain::setCommSettings(const QString &settings)
{
    m_channels->rs232().setCommSettings(settings);
}

void frmMain::setCommEnabled(bool enabled)
{
    m_channels->rs232().setCommEnabled(enabled);
}

void frmMain::ResetRS232Port()
{
    m_channels->rs232().ResetRS232Port();
}

bool frmMain::networkEnabled() const
{
    return m_channels->network().networkEnabled();
}

void frmMain::setNetworkEnabled(bool enabled)
{
    m_channels->network().setNetworkEnabled(enabled);
}

qint16 frmMain::serverPort() const
{
    return m_channels->network().serverPort();
}

void frmMain::setServerPort(qint16 port)
{
    m_channels->network().setServerPort(port);
}

void frmMain::ResetNetworkConnection()
{
    m_channels->network().ResetNetworkConnection();
}
