#include "rs232channel.h"

#include "channellogging.h"
#include "instrument.h"
#include "serialdevices.h"

#include "errors.h"
#include "serialportcontrol.h"

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
        if (CommEnabled)
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
    if (operation == StateOperation::TurnOn)
        ResetRS232Port();
    else if (operation == StateOperation::TurnOff)
        CloseRS232Port();
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
    // Line changes and communication errors are no commands.
    if (comKestrin->CommEvent() != SerialPortControl::Receive)
        return;
    const QString command = GetRS232Command();
    if (command.isEmpty())
        return;
    qCDebug(lcSerial) << "received" << command;
    ReturnRS232Result(m_instrument.ExecuteCommand(command));
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
