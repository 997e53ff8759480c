#pragma once

#include "commandbuffer.h"
#include "commandchannel.h"

#include "commandline.h"

namespace platform {
class SerialPortControl;
}

// The serial command channel. Received characters are cut into command lines at the line
// terminator; each reply and, while a run goes on, each data line is written back to the
// port. The port is open while the instrument is on and the channel is enabled.
// Clients of the virtual port come and go: what one leaves behind (a partial line, the lines
// of a run it started) never reaches the next.
class Rs232Channel : public CommandChannel
{
    Q_OBJECT

public:
    explicit Rs232Channel(Instrument &instrument, QObject *parent = nullptr);

    qint16 commPort() const { return CommPort; }
    // Ports 1 and 2 are taken; any other number is ignored.
    void setCommPort(qint16 port);
    QString commSettings() const { return CommSettings; }
    void setCommSettings(const QString &settings) { CommSettings = settings; }
    bool commEnabled() const { return CommEnabled; }
    void setCommEnabled(bool enabled) { CommEnabled = enabled; }

    // Closes the port and opens it again with the settings in force (when enabled). ON and
    // OFF switch the port through InstrumentChannels.
    void ResetRS232Port();
    void CloseRS232Port();

private:
    void SetRS232Defaults();
    void comKestrin_OnComm();
    void clientDeparted();
    QString GetRS232Command();
    void ReturnRS232Result(const QString &text);
    void instrumentOperation(StateOperation operation);

    qint16 CommPort = 1;
    QString CommSettings;
    bool CommEnabled = true;
    platform::SerialPortControl *comKestrin = nullptr;
    CommandLineBuffer m_commandBuffer;
    // Output to the port failed and has not drained since: further failures are not
    // reported again.
    bool m_outputFailing = false;
    // A command from the port is being executed.
    bool m_executingClientCommand = false;
    // The run going on was started or resumed by a client of the port ...
    bool m_runStartedByClient = false;
    // ... who has hung up since: its lines go to nobody.
    bool m_runOfDepartedClient = false;
};
