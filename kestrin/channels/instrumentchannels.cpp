#include "instrumentchannels.h"

#include "ddechannel.h"
#include "networkchannel.h"
#include "rs232channel.h"

InstrumentChannels::InstrumentChannels(Instrument &instrument, QObject *parent)
    : QObject(parent)
    , m_rs232(new Rs232Channel(instrument, this))
    , m_network(new NetworkChannel(instrument, this))
    , m_dde(new DdeChannel(instrument, this))
{
}

std::array<const CommandChannel *, 3> InstrumentChannels::all() const
{
    return {m_rs232, m_network, m_dde};
}

void InstrumentChannels::followOperation(StateOperation operation)
{
    if (operation == StateOperation::TurnOn)
        switchOn();
    else if (operation == StateOperation::TurnOff)
        switchOff();
}

// ON runs while the instrument is still Off: its state becomes Idle only once this returns.
// 1. The serial port first. While the instrument is off it is the one channel a client can
//    reach (once the settings opened it), so ON may come over it; its reset keeps the
//    client's terminal, and the reply goes back on the port just opened. Being reset before
//    the TCP reset lets waiting events run, it keeps what its client sends meanwhile; a reset
//    after them would empty that part of a line.
// 2. The TCP server next. Its reset lets waiting events run once; a command of another
//    channel handled there is still judged against the Off state.
// 3. Conversations last, after those events: a DDE client whose conversation is accepted
//    again after an OFF finds the serial port open and the TCP port listening already.
void InstrumentChannels::switchOn()
{
    m_rs232->ResetRS232Port();
    m_network->ResetNetworkConnection();
    m_dde->openConversations();
}

// OFF closes them in the same order. A serial or TCP client that sent the OFF gets no reply,
// its channel being closed before the reply is handed back; the conversations end once the
// command is complete, so a DDE client that sent it still gets its acknowledgement first.
void InstrumentChannels::switchOff()
{
    m_rs232->CloseRS232Port();
    m_network->TerminateNetworkConnection();
    m_dde->endConversations();
}
