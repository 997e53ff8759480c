#include "panelitems.h"

#include "ddechannel.h"
#include "instrument.h"
#include "networkchannel.h"
#include "rs232channel.h"
#include "settingchoices.h"

#include "ddesource.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcPanel, "kestrin.panel", QtInfoMsg)

const QString kTicked = QStringLiteral("1");
const QString kClear = QStringLiteral("0");
const QString kStateItem = QStringLiteral("lblState");
const QString kStatusItem = QStringLiteral("sbrMessage");
const QString kInputItem = QStringLiteral("txtInput");

QString checkRefusal(const QString &text)
{
    return text == kTicked || text == kClear ? QString() : QStringLiteral("A check box reads 1 (ticked) or 0 (clear).");
}

QString optionRefusal(const QString &text)
{
    return text == kTicked || text == kClear
               ? QString()
               : QStringLiteral("An option button reads 1 (chosen) or 0 (the other of its pair chosen).");
}

QString flag(bool set)
{
    return set ? kTicked : kClear;
}

} // namespace

PanelItems::PanelItems(QObject *parent)
    : QObject(parent)
{
}

PanelItems::~PanelItems() = default;

void PanelItems::attach(Instrument &instrument, Rs232Channel &rs232, NetworkChannel &network, DdeChannel &dde)
{
    m_instrument = &instrument;
    m_rs232 = &rs232;
    m_network = &network;
    m_source = dde.source();
    addControls();
    for (const QString &readOnly : {kStateItem, kStatusItem, kInputItem}) {
        m_source->addItem(readOnly);
        m_source->setItemReadOnly(readOnly, true);
    }
    for (const Control &control : m_controls)
        m_source->addItem(control.name, control.value());
    dde.setPanel(this);
    connect(m_source, &platform::DdeSource::itemPoked, this, &PanelItems::applyPoke);

    connect(&instrument, &Instrument::commandReceived, this,
            [this](const QString &word) { m_source->setItemValue(kInputItem, word); });
    connect(&instrument, &Instrument::stateChanged, this,
            [this](InstrumentState state) { m_source->setItemValue(kStateItem, stateLabelText(state)); });
    connect(&instrument, &Instrument::statusMessage, this, &PanelItems::showStatus);
    for (const CommandChannel *channel :
         {static_cast<const CommandChannel *>(&rs232), static_cast<const CommandChannel *>(&network),
          static_cast<const CommandChannel *>(&dde)}) {
        connect(channel, &CommandChannel::lineReceived, this,
                [this](const QString &line) { m_source->setItemValue(kInputItem, line); });
        connect(channel, &CommandChannel::statusMessage, this, &PanelItems::showStatus);
        // Nothing waits for a reader: the message stands on the status bar and in the log.
        connect(channel, &CommandChannel::problemReported, this, [this](const QString &message) {
            qCWarning(lcPanel).noquote() << message;
            showStatus(message);
            emit messageShown(message);
        });
    }
    // ANALYZE n sets the panel up for its run, as the window shows.
    connect(&instrument, &Instrument::operationPerformed, this, [this] { showControls(); });
    const QString problem = dde.serviceProblem();
    if (!problem.isEmpty())
        showStatus(problem);
}

void PanelItems::addControls()
{
    using G = GenerationSettings;
    addCheck(
        QStringLiteral("chkPointNumber"), [this] { return m_settings.includePointNumber; },
        [this](bool ticked) { m_settings.includePointNumber = ticked; });
    addOptionPair(QStringLiteral("opRandom"), QStringLiteral("opFile"), &G::dataSource, Generation::Source::Random,
                  Generation::Source::File);
    addText(QStringLiteral("txtFileName"), &G::dataFilePath);
    addText(QStringLiteral("txtFrequency"), &G::frequency);
    addText(QStringLiteral("txtPtsPerLine"), &G::pointsPerLine);
    addOptionPair(QStringLiteral("opContinuous"), QStringLiteral("opFinite"), &G::runMode,
                  Generation::RunMode::Continuous, Generation::RunMode::Finite);
    addText(QStringLiteral("txtNumPts"), &G::numberOfLines);
    addOptionPair(QStringLiteral("opFlat"), QStringLiteral("opGaussian"), &G::distribution,
                  Generation::Distribution::Flat, Generation::Distribution::Gaussian);
    addText(QStringLiteral("txtMin"), &G::minimum);
    addText(QStringLiteral("txtMax"), &G::maximum);
    addText(QStringLiteral("txtMean"), &G::mean);
    addText(QStringLiteral("txtStDev"), &G::standardDeviation);
    addCheck(
        QStringLiteral("chkAbsVal"), [this] { return m_absoluteValue; },
        [this](bool ticked) { m_absoluteValue = ticked; });

    // Transmission Formats
    m_controls.push_back(
        {QStringLiteral("frmXmitFormats.cmbTokenSep"),
         [this] { return SettingChoices::tokenSeparatorText(m_instrument->TokenSep()); }, nullptr,
         [this](const QString &text) { m_instrument->setTokenSep(SettingChoices::tokenSeparatorFromText(text)); }});
    m_controls.push_back({QStringLiteral("frmXmitFormats.cmbLineTerm"),
                          [this] { return SettingChoices::lineTerminatorText(m_instrument->LineTerm()); }, nullptr,
                          [this](const QString &text) {
                              if (const auto terminator = SettingChoices::lineTerminatorFromText(text))
                                  m_instrument->setLineTerm(*terminator);
                          }});

    // Communication Settings: each change applies as the dialog's OK does.
    addCheck(
        QStringLiteral("frmCommSettings.chkEnabled"), [this] { return m_rs232->commEnabled(); },
        [this](bool ticked) {
            m_rs232->setCommEnabled(ticked);
            m_rs232->ResetRS232Port();
        });
    addList(
        QStringLiteral("frmCommSettings.cmbCommPort"), SettingChoices::kCommPorts,
        [this] { return int(m_rs232->commPort()); },
        [this](int port) {
            m_rs232->setCommPort(qint16(port));
            m_rs232->ResetRS232Port();
        });
    const auto serialList = [this](const char *name, const auto &entries, int &setting) {
        addList(
            QLatin1String(name), entries, [&setting] { return setting; },
            [this, &setting](int value) {
                setting = value;
                applySerialSettings();
            });
    };
    serialList("frmCommSettings.cmbBaudRate", SettingChoices::kBaudRates, m_baudRate);
    serialList("frmCommSettings.cmbParity", SettingChoices::kParities, m_parity);
    serialList("frmCommSettings.cmbDataBits", SettingChoices::kDataBits, m_dataBits);
    serialList("frmCommSettings.cmbStopBits", SettingChoices::kStopBits, m_doubledStopBits);

    // Network Settings
    addCheck(
        QStringLiteral("frmNetworkSettings.chkEnabled"), [this] { return m_network->networkEnabled(); },
        [this](bool ticked) {
            m_network->setNetworkEnabled(ticked);
            m_network->ResetNetworkConnection();
        });
    m_controls.push_back({QStringLiteral("frmNetworkSettings.txtServerPort"),
                          [this] { return QString::number(m_network->serverPort()); },
                          [this](const QString &text) {
                              return SettingChoices::serverPortFromText(text, m_network->serverPort())
                                         ? QString()
                                         : SettingChoices::kServerPortRefusal;
                          },
                          [this](const QString &text) {
                              m_network->setServerPort(
                                  *SettingChoices::serverPortFromText(text, m_network->serverPort()));
                              m_network->ResetNetworkConnection();
                          }});
}

void PanelItems::addText(const QString &name, QString GenerationSettings::*field)
{
    // A box takes any text; a run reads it when it starts.
    m_controls.push_back({name, [this, field] { return m_settings.*field; }, nullptr,
                          [this, field](const QString &text) { m_settings.*field = text; }});
}

void PanelItems::addCheck(const QString &name, const std::function<bool()> &ticked,
                          const std::function<void(bool)> &tick)
{
    m_controls.push_back({name, [ticked] { return flag(ticked()); }, checkRefusal,
                          [tick](const QString &text) { tick(text == kTicked); }});
}

template<typename Choice>
void PanelItems::addOptionPair(const QString &first, const QString &second, Choice GenerationSettings::*field,
                               Choice firstChoice, Choice secondChoice)
{
    // Choosing one option of a pair clears the other; clearing one chooses the other.
    const auto option = [this, field](const QString &name, Choice own, Choice other) {
        m_controls.push_back(
            {name, [this, field, own] { return flag(m_settings.*field == own); }, optionRefusal,
             [this, field, own, other](const QString &text) { m_settings.*field = text == kTicked ? own : other; }});
    };
    option(first, firstChoice, secondChoice);
    option(second, secondChoice, firstChoice);
}

template<std::size_t Count, typename Entry>
void PanelItems::addList(const QString &name, const Entry (&entries)[Count], const std::function<int()> &selected,
                         const std::function<void(int)> &select)
{
    const auto entryText = [&entries](int value) {
        for (const Entry &entry : entries) {
            if (entry.value == value)
                return QString::fromLatin1(entry.text);
        }
        return QString();
    };
    const auto entryValue = [&entries](const QString &text) -> std::optional<int> {
        for (const Entry &entry : entries) {
            if (text == QLatin1String(entry.text))
                return entry.value;
        }
        return std::nullopt;
    };
    QStringList texts;
    for (const Entry &entry : entries)
        texts << QString::fromLatin1(entry.text);
    const QString refusal = QStringLiteral("Not an entry of the list: %1.").arg(texts.join(QStringLiteral(", ")));
    m_controls.push_back({name, [entryText, selected] { return entryText(selected()); },
                          [entryValue, refusal](const QString &text) { return entryValue(text) ? QString() : refusal; },
                          [entryValue, select](const QString &text) { select(*entryValue(text)); }});
}

void PanelItems::setGenerationSettings(const GenerationSettings &settings)
{
    m_settings = settings;
    showControls();
}

void PanelItems::presetFiniteRun(qint16 pointsPerLine)
{
    m_settings.runMode = Generation::RunMode::Finite;
    m_settings.numberOfLines = QStringLiteral("1");
    m_settings.pointsPerLine = QString::number(pointsPerLine);
}

const PanelItems::Control *PanelItems::findControl(const QString &item) const
{
    for (const Control &control : m_controls) {
        if (control.name == item)
            return &control;
    }
    return nullptr;
}

QString PanelItems::pokeRefusal(const QString &item, const QString &text)
{
    const Control *control = findControl(item);
    return control && control->refusal ? control->refusal(text) : QString();
}

void PanelItems::applyPoke(const QString &item, const QString &text)
{
    if (const Control *control = findControl(item)) {
        qCDebug(lcPanel) << "poked" << item << text;
        control->apply(text);
    }
    showControls();
}

void PanelItems::showControls()
{
    for (const Control &control : m_controls)
        m_source->setItemValue(control.name, control.value());
}

QStringList PanelItems::itemNames() const
{
    QStringList names{kStateItem, kStatusItem, kInputItem};
    for (const Control &control : m_controls)
        names << control.name;
    return names;
}

QString PanelItems::statusText() const
{
    return m_source ? m_source->itemValue(kStatusItem) : QString();
}

void PanelItems::showStatus(const QString &text)
{
    m_source->setItemValue(kStatusItem, text);
}

void PanelItems::applySerialSettings()
{
    m_rs232->setCommSettings(SettingChoices::serialSettingsText(m_baudRate, m_parity, m_dataBits, m_doubledStopBits));
    m_rs232->ResetRS232Port();
}
