// frmMain: construction of the window, start-up defaults, menus, About and closing.

#include "frmMain.h"
#include "lamps.h"

#include "ddechannel.h"
#include "frmCommSettings.h"
#include "frmNetworkSettings.h"
#include "frmXmitFormats.h"
#include "instrument.h"
#include "instrumentchannels.h"

#include "controls.h"
#include "ddewindowitems.h"
#include "geometry.h"
#include "messagebox.h"
#include "numbers.h"
#include "panelcache.h"
#include "statusbar.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDate>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <limits>

using platform::makeBuddyLabel;
using platform::makeControl;
using platform::placeInTwips;

namespace {

constexpr int kClientWidthTwips = 7500;
constexpr int kClientHeightTwips = 5565;
// The About box's first line names the instrument's model version and date, as it always
// has; the release of this program is in the rights notice.
constexpr float kModelVersion = 1.3F;
const QString kModelVersionPattern = QStringLiteral("0.0");
const QDate kModelDate(1998, 6, 12);

// The settings dialogs are loaded on first use and afterwards only shown again.
template<typename Dialog>
void showSettingsDialog(QPointer<Dialog> &dialog, frmMain *window)
{
    if (!dialog)
        dialog = new Dialog(*window, window);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

} // namespace

frmMain::frmMain(QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tarvolin"));
    setFont(platform::dialogFont());

    createControls();
    createMenus();

    m_instrument = new Instrument(*this, this);
    m_instrument->setObjectName(QStringLiteral("instrument"));
    connectInstrument();
    m_channels = new InstrumentChannels(*m_instrument, this);
    for (const CommandChannel *channel : m_channels->all())
        connectChannel(channel);
    // The Output box shows every line a reader can follow, and beyond that one per frame.
    m_ddeItems = new platform::DdeWindowItems(m_channels->dde().source(), this);

    Form_Load();
    // A second instance runs without conversations and says so where the user looks, for as
    // long as it runs: the status text alone would give way to the next one.
    const QString ddeProblem = m_channels->dde().serviceProblem();
    if (!ddeProblem.isEmpty()) {
        setStatusText(ddeProblem);
        sbrMessage->setNotice(ddeProblem);
    }
}

frmMain::~frmMain() = default;

void frmMain::createControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    txtInput = makeControl<QLineEdit>(client, "txtInput");
    lblInput = makeBuddyLabel(client, "lblInput", QStringLiteral("Input:"), txtInput);
    placeInTwips(lblInput, 120, 120, 1095, 255);
    placeInTwips(txtInput, 120, 360, 7275, 495);

    txtOutput = makeControl<QLineEdit>(client, "txtOutput");
    lblOutput = makeBuddyLabel(client, "lblOutput", QStringLiteral("Output:"), txtOutput);
    placeInTwips(lblOutput, 120, 960, 1095, 255);
    placeInTwips(txtOutput, 120, 1200, 7275, 495);
    // Data lines may be far longer than a line edit's default limit of 32767 characters.
    txtOutput->setMaxLength(std::numeric_limits<int>::max());
    txtInput->setMaxLength(std::numeric_limits<int>::max());
    // It changes up to once a frame while a run streams.
    platform::cachePanelOf(txtOutput);

    fraDataGeneration = makeControl<QGroupBox>(client, "fraDataGeneration", QStringLiteral("Data Generation"));
    placeInTwips(fraDataGeneration, 120, 1800, 7275, 2955);
    fraDataGeneration->setAccessibleName(fraDataGeneration->title());
    fraDataGeneration->setEnabled(false);
    createGenerationPanel();

    lblStateLabel = makeControl<QLabel>(client, "lblStateLabel", QStringLiteral("State:"));
    placeInTwips(lblStateLabel, 120, 4860, 675, 255);
    lblState = makeControl<QLabel>(client, "lblState");
    placeInTwips(lblState, 840, 4860, 2955, 255);
    // Its text is what a reader wants to hear; the description says what it is.
    lblState->setAccessibleDescription(QStringLiteral("State"));

    btnOnOff = makeControl<QPushButton>(client, "btnOnOff", QStringLiteral("On"));
    placeInTwips(btnOnOff, 6300, 4800, 675, 435);
    connect(btnOnOff, &QPushButton::clicked, this, &frmMain::btnOnOff_Click);

    imgOff = makeControl<QLabel>(client, "imgOff");
    imgOff->setPixmap(lampPixmap(false));
    imgOff->setAccessibleName(QStringLiteral("Lamp off"));
    placeInTwips(imgOff, 7020, 4800, 420, 420);
    imgOn = makeControl<QLabel>(client, "imgOn");
    imgOn->setPixmap(lampPixmap(true));
    imgOn->setAccessibleName(QStringLiteral("Lamp on"));
    placeInTwips(imgOn, 7020, 4800, 420, 420);
    imgOn->setVisible(false);

    sbrMessage = new platform::StatusBar(this);
    sbrMessage->setObjectName(QStringLiteral("sbrMessage"));
    setStatusBar(sbrMessage);

    // The client area holds the status bar docked at its bottom edge.
    const QRect area = platform::fromTwips(0, 0, kClientWidthTwips, kClientHeightTwips);
    client->setFixedSize(area.width(), area.height() - sbrMessage->sizeHint().height());
}

void frmMain::createMenus()
{
    QMenu *mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    QAction *mnuFileExit = mnuFile->addAction(QStringLiteral("E&xit"), this, &frmMain::mnuFileExit_Click);
    mnuFileExit->setObjectName(QStringLiteral("mnuFileExit"));

    QMenu *mnuEdit = menuBar()->addMenu(QStringLiteral("&Edit"));
    mnuEdit->setObjectName(QStringLiteral("mnuEdit"));
    QAction *mnuEditXmitFormat =
        mnuEdit->addAction(QStringLiteral("&Transmission Formats ..."), this, &frmMain::mnuEditXmitFormat_Click);
    mnuEditXmitFormat->setObjectName(QStringLiteral("mnuEditXmitFormat"));
    QAction *mnuEditRS232PortSettings =
        mnuEdit->addAction(QStringLiteral("&RS232 Port Settings ..."), this, &frmMain::mnuEditRS232PortSettings_Click);
    mnuEditRS232PortSettings->setObjectName(QStringLiteral("mnuEditRS232PortSettings"));
    QAction *mnuEditNetworkSettings =
        mnuEdit->addAction(QStringLiteral("&Network Settings ..."), this, &frmMain::mnuEditNetworkSettings_Click);
    mnuEditNetworkSettings->setObjectName(QStringLiteral("mnuEditNetworkSettings"));

    QMenu *mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    QAction *mnuHelpAbout =
        mnuHelp->addAction(QStringLiteral("&About the Tarvolin"), this, &frmMain::mnuHelpAbout_Click);
    mnuHelpAbout->setObjectName(QStringLiteral("mnuHelpAbout"));
}

void frmMain::Form_Load()
{
    // The channels and the transmission formats start with their defaults.
    SetGenerationDefaults();
}

void frmMain::closeEvent(QCloseEvent *event)
{
    Form_QueryUnload();
    event->accept();
}

void frmMain::Form_QueryUnload()
{
    // Unload the other windows of the program (the settings dialogs); the run, the port and
    // the socket end with the main window, without an OFF.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (window != this && window->objectName().startsWith(QLatin1String("frm"))) {
            window->close();
            window->deleteLater();
        }
    }
}

void frmMain::mnuFileExit_Click()
{
    close();
}

void frmMain::mnuEditXmitFormat_Click()
{
    showSettingsDialog(m_xmitFormats, this);
}

void frmMain::mnuEditRS232PortSettings_Click()
{
    showSettingsDialog(m_commSettings, this);
}

void frmMain::mnuEditNetworkSettings_Click()
{
    showSettingsDialog(m_networkSettings, this);
}

void frmMain::mnuHelpAbout_Click()
{
    // TARVOLIN_VERSION is the project's release, major.minor, given by the build.
    const QString text = QStringLiteral("Tarvolin - Version ")
                         + platform::formatNumber(kModelVersion, kModelVersionPattern) + QStringLiteral(", Date ")
                         + platform::formatDate(kModelDate) + QStringLiteral("\r\n")
                         + QStringLiteral("Simulated laboratory instrument. Copyright 2026 The Tarvolin developers. "
                                          "Release " TARVOLIN_VERSION ", licensed under the MIT License.");
    platform::showMessage(text);
}
