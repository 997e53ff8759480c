#pragma once

#include "generationsettings.h"

#include "ddesourcehandler.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class DdeChannel;
class Instrument;
class NetworkChannel;
class Rs232Channel;

namespace platform {
class DdeSource;
}

// The front panel without a window. Every control of the panel and of its three settings
// dialogs is an item of the instrument's conversation topic, under the window's own name for
// it (a dialog's controls as "<dialog>.<control>"): REQUEST reads it, POKE sets it with the
// checks the window applies, ADVISE follows it. Check boxes and option buttons read "1" when
// ticked or chosen, "0" otherwise; a list reads the entry shown. The read-only items lblState,
// sbrMessage and txtInput show the state label, the status bar and the Input box.
//
// A poke applies at once, as changing the control and pressing the dialog's OK would; a value
// the window refuses is refused with the window's own text as the NACK's reason.
class PanelItems : public QObject, public GenerationControls, public platform::DdeSourceHandler
{
    Q_OBJECT

public:
    explicit PanelItems(QObject *parent = nullptr);
    ~PanelItems() override;

    // Serves the items through the channel's source, follows what the instrument and its
    // channels show, and applies settings to them. Once, before the instrument is switched on.
    void attach(Instrument &instrument, Rs232Channel &rs232, NetworkChannel &network, DdeChannel &dde);

    GenerationSettings generationSettings() const override { return m_settings; }
    // Sets the panel's generation settings at once, as pokes of each box would.
    void setGenerationSettings(const GenerationSettings &settings);
    bool absoluteValue() const override { return m_absoluteValue; }
    void presetFiniteRun(qint16 pointsPerLine) override;

    QString pokeRefusal(const QString &item, const QString &text) override;

    // What the status bar would show now.
    QString statusText() const;
    // Every item the panel serves, the read-only ones first.
    QStringList itemNames() const;

signals:
    // A message the window would show in a box; it is shown on the status bar instead.
    void messageShown(const QString &text);

private:
    struct Control
    {
        QString name;
        std::function<QString()> value;
        // The refusal of a text, or an empty text when it is taken.
        std::function<QString(const QString &)> refusal;
        std::function<void(const QString &)> apply;
    };

    void addControls();
    void addText(const QString &name, QString GenerationSettings::*field);
    void addCheck(const QString &name, const std::function<bool()> &ticked, const std::function<void(bool)> &tick);
    template<typename Choice>
    void addOptionPair(const QString &first, const QString &second, Choice GenerationSettings::*field,
                       Choice firstChoice, Choice secondChoice);
    template<std::size_t Count, typename Entry>
    void addList(const QString &name, const Entry (&entries)[Count], const std::function<int()> &selected,
                 const std::function<void(int)> &select);
    const Control *findControl(const QString &item) const;
    void applyPoke(const QString &item, const QString &text);
    // Writes every item whose value differs from what it holds.
    void showControls();
    void showStatus(const QString &text);
    void applySerialSettings();

    GenerationSettings m_settings;
    bool m_absoluteValue = false;
    // The serial lists' values, as the dialog holds them.
    int m_baudRate = 19200;
    int m_parity = 'N';
    int m_dataBits = 8;
    int m_doubledStopBits = 2;
    std::vector<Control> m_controls;
    Instrument *m_instrument = nullptr;
    Rs232Channel *m_rs232 = nullptr;
    NetworkChannel *m_network = nullptr;
    platform::DdeSource *m_source = nullptr;
};
