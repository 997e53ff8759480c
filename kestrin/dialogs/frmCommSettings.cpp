#include "frmCommSettings.h"

#include "instrumentsettings.h"
#include "serialdevices.h"
#include "settingchoices.h"

#include "controls.h"
#include "devicemap.h"
#include "geometry.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstddef>

using platform::makeBuddyLabel;
using platform::makeControl;
using platform::placeInTwips;

namespace {

constexpr int kClientWidthTwips = 3780;
// One row more than the settings need, for the device of the chosen port.
constexpr int kClientHeightTwips = 2640;

using SettingChoices::Choice;

// The entry of each list selected at load, which matches the main window's start-up
// settings (port 1, "19200,N,8,1").
constexpr int kCommPortAtLoad = 0;
constexpr int kBaudRateAtLoad = 4;
constexpr int kParityAtLoad = 2;
constexpr int kDataBitsAtLoad = 4;
constexpr int kStopBitsAtLoad = 0;

template<std::size_t Count>
void fillList(QComboBox *list, const Choice (&entries)[Count], int selected)
{
    list->clear();
    for (const Choice &entry : entries)
        list->addItem(QLatin1String(entry.text), entry.value);
    list->setCurrentIndex(selected);
}

int selectedValue(const QComboBox *list)
{
    return list->currentData().toInt();
}

} // namespace

frmCommSettings::frmCommSettings(InstrumentSettings &settings, QWidget *parent)
    : QDialog(parent)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("frmCommSettings"));
    setWindowTitle(QStringLiteral("Communication Settings"));
    setFont(platform::dialogFont());
    const QRect client = platform::fromTwips(0, 0, kClientWidthTwips, kClientHeightTwips);
    setFixedSize(client.size());

    chkEnabled = makeControl<QCheckBox>(this, "chkEnabled", QStringLiteral("Port Enabled:"));
    chkEnabled->setLayoutDirection(Qt::RightToLeft); // the caption stands left of the box
    chkEnabled->setChecked(true);
    placeInTwips(chkEnabled, 60, 120, 1515, 255);

    const auto addList = [this](const char *listName, const char *labelName, const QString &caption, int top,
                                QComboBox *&list, QLabel *&label) {
        list = makeControl<QComboBox>(this, listName);
        label = makeBuddyLabel(this, labelName, caption, list);
        placeInTwips(label, 60, top, 1215, 255);
        placeInTwips(list, 1380, top, 1155, 315);
    };
    addList("cmbCommPort", "lblPortNumber", QStringLiteral("Port Number:"), 480, cmbCommPort, lblPortNumber);
    addList("cmbBaudRate", "lblBaudRate", QStringLiteral("Baud Rate:"), 840, cmbBaudRate, lblBaudRate);
    addList("cmbParity", "lblParity", QStringLiteral("Parity:"), 1200, cmbParity, lblParity);
    addList("cmbDataBits", "lblDataBits", QStringLiteral("Data Bits:"), 1560, cmbDataBits, lblDataBits);
    addList("cmbStopBits", "lblStopBits", QStringLiteral("Stop Bits:"), 1920, cmbStopBits, lblStopBits);

    // Read-only text rather than a label: a long path scrolls and can be copied whole. It
    // takes the whole width its short caption leaves, since paths are long.
    txtDevice = makeControl<QLineEdit>(this, "txtDevice");
    txtDevice->setReadOnly(true);
    lblDevice = makeBuddyLabel(this, "lblDevice", QStringLiteral("Device:"), txtDevice);
    placeInTwips(lblDevice, 60, 2280, 780, 255);
    placeInTwips(txtDevice, 900, 2280, 2835, 315);

    btnOK = makeControl<QPushButton>(this, "btnOK", QStringLiteral("OK"));
    btnOK->setDefault(true);
    placeInTwips(btnOK, 2640, 120, 1095, 315);
    btnCancel = makeControl<QPushButton>(this, "btnCancel", QStringLiteral("Cancel"));
    placeInTwips(btnCancel, 2640, 480, 1095, 315);

    setTabOrder(chkEnabled, cmbCommPort);
    setTabOrder(cmbCommPort, cmbBaudRate);
    setTabOrder(cmbBaudRate, cmbParity);
    setTabOrder(cmbParity, cmbDataBits);
    setTabOrder(cmbDataBits, cmbStopBits);
    setTabOrder(cmbStopBits, btnOK);
    setTabOrder(btnOK, btnCancel);
    setTabOrder(btnCancel, txtDevice);

    connect(btnOK, &QPushButton::clicked, this, &frmCommSettings::btnOK_Click);
    connect(btnCancel, &QPushButton::clicked, this, &frmCommSettings::btnCancel_Click);
    connect(cmbCommPort, &QComboBox::currentIndexChanged, this, &frmCommSettings::ShowPortDevice);
    Form_Load();
}

void frmCommSettings::Form_Load()
{
    FillRS232Lists();
}

void frmCommSettings::FillRS232Lists()
{
    fillList(cmbCommPort, SettingChoices::kCommPorts, kCommPortAtLoad);
    fillList(cmbBaudRate, SettingChoices::kBaudRates, kBaudRateAtLoad);
    fillList(cmbParity, SettingChoices::kParities, kParityAtLoad);
    fillList(cmbDataBits, SettingChoices::kDataBits, kDataBitsAtLoad);
    fillList(cmbStopBits, SettingChoices::kStopBits, kStopBitsAtLoad);
}

void frmCommSettings::showEvent(QShowEvent *event)
{
    // The device map is read at every opening, so it is read again at every showing.
    ShowPortDevice();
    QDialog::showEvent(event);
}

void frmCommSettings::ShowPortDevice()
{
    const int port = selectedValue(cmbCommPort);
    const platform::DeviceMap devices = instrumentSerialDevices();
    const QString device = devices.deviceForPort(port);
    const QString origin =
        devices.mappedDevice(port).isEmpty()
            ? QStringLiteral("The instrument's own virtual port: while it is open, clients "
                             "connect to this path.")
            : QStringLiteral("%1 maps the port to this device.").arg(devices.environmentVariable(port));
    // The text cursor stays at the end, so a path too long to show whole shows the port's name.
    txtDevice->setText(device);
    txtDevice->setToolTip(device + QLatin1Char('\n') + origin);
}

void frmCommSettings::ApplyRS232Settings()
{
    // Only a fully ticked box enables the port; a greyed one does not.
    m_settings.setCommEnabled(chkEnabled->checkState() == Qt::Checked);
    m_settings.setCommPort(qint16(selectedValue(cmbCommPort)));
    m_settings.setCommSettings(SettingChoices::serialSettingsText(
        selectedValue(cmbBaudRate), selectedValue(cmbParity), selectedValue(cmbDataBits), selectedValue(cmbStopBits)));
    m_settings.ResetRS232Port();
}

void frmCommSettings::btnOK_Click()
{
    ApplyRS232Settings();
    hide();
}

void frmCommSettings::btnCancel_Click()
{
    hide();
}
