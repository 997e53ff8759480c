#pragma once

#include <QObject>

class DdeChannel;
class Instrument;
class NetworkChannel;
class PanelItems;
class Rs232Channel;

// The instrument without a window: the same instrument and command channels as the window
// wires, with the panel served as conversation items (panelitems.h). It starts as the window
// does, with the panel's defaults, switched off.
class HeadlessInstrument : public QObject
{
    Q_OBJECT

public:
    explicit HeadlessInstrument(QObject *parent = nullptr);
    ~HeadlessInstrument() override;

    Instrument &instrument() const { return *m_instrument; }
    PanelItems &panel() const { return *m_panel; }
    Rs232Channel &rs232() const { return *m_rs232; }
    NetworkChannel &network() const { return *m_network; }
    DdeChannel &dde() const { return *m_dde; }

private:
    PanelItems *m_panel;
    Instrument *m_instrument;
    Rs232Channel *m_rs232;
    NetworkChannel *m_network;
    DdeChannel *m_dde;
};
