// frmMain: the RS-232 command channel. Received characters are cut into command lines at
// LineTerm; each reply and, while a run goes on, each data line is written back to the port.

#include "core/frmMain.h"

#include "channels/serialdevices.h"
#include "dialogs/frmCommSettings.h"

#include "errors.h"
#include "messagebox.h"
#include "serialportcontrol.h"

#include <utility>

using platform::SerialPortControl;

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

platform::SerialPortControl *frmMain::createSerialChannel()
{
    auto *port = new SerialPortControl(instrumentSerialDevices(), this);
    port->setObjectName(QStringLiteral("comKestrin"));
    connect(port, &SerialPortControl::OnComm, this, &frmMain::comKestrin_OnComm);
    connect(port, &SerialPortControl::outputDrained, this, [this] { m_rs232OutputFailing = false; });
    return port;
}

void frmMain::ResetRS232Port()
{
    m_rs232CommandBuffer.clear();
    m_rs232OutputFailing = false;
    try {
        if (comKestrin->PortOpen())
            comKestrin->setPortOpen(false);
        comKestrin->setCommPort(CommPort);
        comKestrin->setSettings(CommSettings);
        if (CommEnabled)
            comKestrin->setPortOpen(true);
    } catch (const platform::RuntimeError &failure) {
        // A port that cannot be opened or configured stays closed; the instrument keeps its
        // state and its other channels, so switching on works on a machine without the port.
        comKestrin->setPortOpen(false);
        platform::reportMessage(failure.error().message(QStringLiteral("Error (frmMain - ResetRS232Port) ")));
    }
}

void frmMain::CloseRS232Port()
{
    m_rs232CommandBuffer.clear();
    if (comKestrin->PortOpen())
        comKestrin->setPortOpen(false);
}

void frmMain::comKestrin_OnComm()
{
    // Line changes and communication errors are no commands.
    if (comKestrin->CommEvent() != SerialPortControl::Receive)
        return;
    const QString command = GetRS232Command();
    if (!command.isEmpty())
        ReturnRS232Result(ExecuteCommand(command));
}

QString frmMain::GetRS232Command()
{
    return TakeReceivedCommand(m_rs232CommandBuffer, QStringLiteral("Error (frmMain - GetRS232Command) "),
                               [this] { return comKestrin->Input(); });
}

void frmMain::ReturnRS232Result(const QString &text)
{
    if (!comKestrin->PortOpen())
        return;
    try {
        comKestrin->setOutput(text + LineTerm);
    } catch (const platform::RuntimeError &failure) {
        // A far end that stopped reading loses lines, as on a cable without flow control:
        // one report until the line drains, not one per line.
        if (!std::exchange(m_rs232OutputFailing, true))
            platform::reportMessage(
                failure.error().message(QStringLiteral("Kestrin Error (frmMain - ReturnRS232Result) ")));
    }
}

void frmMain::mnuEditRS232PortSettings_Click()
{
    if (!m_commSettings)
        m_commSettings = new frmCommSettings(this);
    m_commSettings->show();
    m_commSettings->raise();
    m_commSettings->activateWindow();
}
