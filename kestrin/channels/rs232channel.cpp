#include "rs232channel.h"

#include "channellogging.h"
#include "instrument.h"
#include "serialdevices.h"

#include "errors.h"
#include "serialportcontrol.h"

#include <QScopedValueRollback>

#include <utility>

using platform::SerialPortControl;

namespace {
constexpr qint16 kFirstPort = 1;
constexpr qint16 kLastPort = 2;
} // namespace

Rs232Channel::Rs232Channel(Instrument &instrument, QObject *parent)
    : CommandChannel(instrument, parent)
    , comKestrin(new SerialPortControl(instrumentSerialDevices(), this))
{
    comKestrin->setObjectName(QStringLiteral("comKestrin"));
    SetRS232Defaults();
    connect(comKestrin, &SerialPortControl::OnComm, this, [this] {
        guarded(QStringLiteral("Error (frmMain - comKestrin_OnComm) "), [this] { comKestrin_OnComm(); });
    });
    connect(comKestrin, &SerialPortControl::outputDrained, this, [this] { m_outputFailing = false; });
    connect(&instrument, &Instrument::operationPerformed, this, &Rs232Channel::instrumentOperation);
    connect(&instrument, &Instrument::dataLine, this, [this](const QString &line) {
        if (CommEnabled && !m_runOfDepartedClient)
            ReturnRS232Result(line);
    });
}

void Rs232Channel::SetRS232Defaults()
{
    CommPort = 1;
    CommSettings = QStringLiteral("19200,N,8,1");
    CommEnabled = true;
}

void Rs232Channel::setCommPort(qint16 port)
{
    if (port >= kFirstPort && port <= kLastPort)
        CommPort = port;
}

void Rs232Channel::instrumentOperation(StateOperation operation)
{
    switch (operation) {
    case StateOperation::StartAnalysis:
    case StateOperation::ResumeAnalysis:
        // Whoever starts or resumes the run makes its lines theirs.
        m_runStartedByClient = m_executingClientCommand;
        m_runOfDepartedClient = false;
        break;
    case StateOperation::AbortAnalysis:
    case StateOperation::StopAnalysis: m_runStartedByClient = false; break;
    default: break;
    }
}

void Rs232Channel::ResetRS232Port()
{
    m_commandBuffer.clear();
    m_outputFailing = false;
    try {
        if (comKestrin->PortOpen())
            comKestrin->setPortOpen(false);
        comKestrin->setCommPort(CommPort);
        comKestrin->setSettings(CommSettings);
        if (CommEnabled)
            comKestrin->setPortOpen(true);
        qCDebug(lcSerial) << "port" << CommPort << CommSettings << (CommEnabled ? "open" : "disabled");
    } catch (const platform::RuntimeError &failure) {
        // A port that cannot be opened or configured stays closed; the instrument keeps its
        // state and its other channels, so switching on works on a machine without the port.
        comKestrin->setPortOpen(false);
        reportError(failure.error(), QStringLiteral("Error (frmMain - ResetRS232Port) "));
    }
}

void Rs232Channel::CloseRS232Port()
{
    m_commandBuffer.clear();
    if (comKestrin->PortOpen())
        comKestrin->setPortOpen(false);
}

void Rs232Channel::comKestrin_OnComm()
{
    if (comKestrin->CommEvent() == SerialPortControl::CarrierDetect && !comKestrin->clientAttached()) {
        clientDeparted();
        return;
    }
    // Other line changes and communication errors are no commands.
    if (comKestrin->CommEvent() != SerialPortControl::Receive)
        return;
    const QString command = GetRS232Command();
    if (command.isEmpty())
        return;
    qCDebug(lcSerial) << "received" << command;
    const QScopedValueRollback<bool> executing(m_executingClientCommand, true);
    ReturnRS232Result(m_instrument.ExecuteCommand(command).reply);
}

void Rs232Channel::clientDeparted()
{
    // Everything the client sent has been executed as it arrived; a line it left unfinished
    // would become part of the next client's first command, and the lines of a run it
    // started would greet a client that never asked for them.
    qCDebug(lcSerial) << "client gone" << (m_commandBuffer.isEmpty() ? "" : "leaving a partial line")
                      << (m_runStartedByClient ? "with its run going" : "");
    m_commandBuffer.clear();
    m_runOfDepartedClient = m_runStartedByClient;
}

QString Rs232Channel::GetRS232Command()
{
    return TakeReceivedCommand(m_commandBuffer, comKestrin->Input(),
                               QStringLiteral("Error (frmMain - GetRS232Command) "));
}

void Rs232Channel::ReturnRS232Result(const QString &text)
{
    if (!comKestrin->PortOpen())
        return;
    try {
        comKestrin->setOutput(text + m_instrument.LineTerm());
    } catch (const platform::RuntimeError &failure) {
        // A far end that stopped reading loses lines, as on a cable without flow control:
        // one report until the line drains, not one per line.
        if (!std::exchange(m_outputFailing, true))
            reportError(failure.error(), QStringLiteral("Kestrin Error (frmMain - ReturnRS232Result) "));
    }
}
