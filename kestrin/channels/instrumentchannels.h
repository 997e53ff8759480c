#pragma once

#include "commandline.h"

#include <QObject>

#include <array>

class CommandChannel;
class DdeChannel;
class Instrument;
class NetworkChannel;
class Rs232Channel;

// The instrument's three command channels, made for one instrument and switched on and off
// together, in one stated order, when the instrument is switched on or off. The window and
// the instrument without a window both hold their channels through this.
class InstrumentChannels : public QObject
{
    Q_OBJECT

public:
    explicit InstrumentChannels(Instrument &instrument, QObject *parent = nullptr);

    Rs232Channel &rs232() const { return *m_rs232; }
    NetworkChannel &network() const { return *m_network; }
    DdeChannel &dde() const { return *m_dde; }
    // The three, for connecting what each of them shows.
    std::array<const CommandChannel *, 3> all() const;

    // Switches the channels on for TurnOn and off for TurnOff; other operations leave them.
    // Called by the owner from its handler of Instrument::operationPerformed.
    void followOperation(StateOperation operation);

private:
    void switchOn();
    void switchOff();

    Rs232Channel *m_rs232;
    NetworkChannel *m_network;
    DdeChannel *m_dde;
};
