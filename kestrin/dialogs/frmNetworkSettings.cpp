#include "frmNetworkSettings.h"

#include "instrumentsettings.h"
#include "settingchoices.h"

#include "controls.h"
#include "geometry.h"
#include "messagebox.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using platform::placeInTwips;

namespace {

constexpr int kClientWidthTwips = 3780;
constexpr int kClientHeightTwips = 900;

} // namespace

frmNetworkSettings::frmNetworkSettings(InstrumentSettings &settings, QWidget *parent)
    : QDialog(parent)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("frmNetworkSettings"));
    setWindowTitle(QStringLiteral("Network Settings"));
    setFont(platform::dialogFont());
    const QRect client = platform::fromTwips(0, 0, kClientWidthTwips, kClientHeightTwips);
    setFixedSize(client.size());

    chkEnabled = platform::makeControl<QCheckBox>(this, "chkEnabled", QStringLiteral("Connection Enabled:"));
    chkEnabled->setLayoutDirection(Qt::RightToLeft); // the caption stands left of the box
    placeInTwips(chkEnabled, 60, 120, 2235, 255);

    txtServerPort = platform::makeControl<QLineEdit>(this, "txtServerPort");
    txtServerPort->setText(QStringLiteral("1234"));
    lblServerPort = platform::makeBuddyLabel(this, "lblServerPort", QStringLiteral("Server Port:"), txtServerPort);
    placeInTwips(lblServerPort, 120, 480, 1155, 255);
    placeInTwips(txtServerPort, 1440, 420, 915, 315);

    btnOK = platform::makeControl<QPushButton>(this, "btnOK", QStringLiteral("OK"));
    btnOK->setDefault(true);
    placeInTwips(btnOK, 2640, 120, 1095, 315);
    btnCancel = platform::makeControl<QPushButton>(this, "btnCancel", QStringLiteral("Cancel"));
    placeInTwips(btnCancel, 2640, 480, 1095, 315);

    setTabOrder(chkEnabled, txtServerPort);
    setTabOrder(txtServerPort, btnOK);
    setTabOrder(btnOK, btnCancel);

    connect(btnOK, &QPushButton::clicked, this, &frmNetworkSettings::btnOK_Click);
    connect(btnCancel, &QPushButton::clicked, this, &frmNetworkSettings::btnCancel_Click);
    Form_Load();
}

void frmNetworkSettings::Form_Load()
{
    chkEnabled->setChecked(m_settings.networkEnabled());
    txtServerPort->setText(QString::number(m_settings.serverPort()));
}

bool frmNetworkSettings::ApplyNetworkSettings()
{
    const std::optional<qint16> port =
        SettingChoices::serverPortFromText(txtServerPort->text(), m_settings.serverPort());
    if (!port) {
        platform::showMessage(SettingChoices::kServerPortRefusal);
        return false;
    }
    // Only a fully ticked box enables the connection; a greyed one does not.
    m_settings.setNetworkEnabled(chkEnabled->checkState() == Qt::Checked);
    m_settings.setServerPort(*port);
    m_settings.ResetNetworkConnection();
    return true;
}

void frmNetworkSettings::btnOK_Click()
{
    if (ApplyNetworkSettings())
        hide();
}

void frmNetworkSettings::btnCancel_Click()
{
    hide();
}
