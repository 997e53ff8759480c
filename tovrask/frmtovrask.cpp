// frmTovrask: the window, Connect with the instrument start, Execute and link errors.

#include "frmTovrask.h"

#include "controls.h"
#include "ddeerrors.h"
#include "ddetextbox.h"
#include "errors.h"
#include "geometry.h"
#include "messagebox.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

using platform::makeControl;
using platform::placeInTwips;
using platform::RuntimeError;

namespace {

constexpr int kClientWidthTwips = 5850;
constexpr int kClientHeightTwips = 855;

constexpr int kLinkModeNone = platform::DdeTextBox::kLinkModeNone;
constexpr int kLinkModeAutomatic = platform::DdeTextBox::kLinkModeAutomatic;

constexpr std::chrono::milliseconds kDefaultStartWait{10000};
// How often the link is asked for again while a started instrument comes up.
constexpr std::chrono::milliseconds kRepeatInterval{100};

const QString kInstrumentTopic = QStringLiteral("Kestrin|Kestrin");
const QString kInstrumentItem = QStringLiteral("txtOutput");

const QString kCouldNotStart = QStringLiteral("Error.  Could not start the Kestrin");
const QString kTurnInstrumentOn =
    QStringLiteral("Error.  Please turn the Kestrin On before establishing a DDE connection.");
const QString kChannelClosed = QStringLiteral("Error. Is the Kestrin running?  The DDE channel is closed.");
const QString kSourceClosed = QStringLiteral("Error. The Tovrask attempted to continue after the Kestrin closed.");
const QString kLinksInUse = QStringLiteral("Error. All Kestrin DDE links are in use.");

} // namespace

frmTovrask::frmTovrask(QWidget *parent)
    : QWidget(parent)
    , m_startWait(kDefaultStartWait)
{
    setObjectName(QStringLiteral("frmTovrask"));
    setWindowTitle(QStringLiteral("Tovrask"));
    setFont(platform::dialogFont());

    m_repeatTimer = new QTimer(this);
    m_repeatTimer->setSingleShot(true);
    m_repeatTimer->setInterval(kRepeatInterval);
    connect(m_repeatTimer, &QTimer::timeout, this, [this] { openLink(false); });

    createControls();
    Form_Load();
}

frmTovrask::~frmTovrask() = default;

void frmTovrask::setInstrumentStarter(const InstrumentStarter &starter)
{
    m_starter = starter;
}

void frmTovrask::setStartWait(std::chrono::milliseconds wait)
{
    m_startWait = wait;
}

bool frmTovrask::isWaitingForInstrument() const
{
    return m_waitingForInstrument;
}

void frmTovrask::createControls()
{
    btnConnect = makeControl<QPushButton>(this, "btnConnect", QStringLiteral("Connect"));
    placeInTwips(btnConnect, 4560, 60, 1215, 315);
    connect(btnConnect, &QPushButton::clicked, this, &frmTovrask::btnConnect_Click);

    txtOutput = makeControl<platform::DdeTextBox>(this, "txtOutput");
    txtOutput->setAccessibleName(QStringLiteral("Instrument output"));
    placeInTwips(txtOutput, 60, 60, 4455, 315);
    connect(txtOutput, &platform::DdeTextBox::LinkError, this, &frmTovrask::txtOutput_LinkError);

    btnExecute = makeControl<QPushButton>(this, "btnExecute", QStringLiteral("Execute"));
    placeInTwips(btnExecute, 4560, 480, 1215, 315);
    btnExecute->setDefault(true);
    connect(btnExecute, &QPushButton::clicked, this, &frmTovrask::btnExecute_Click);

    cmbCommand = makeControl<QComboBox>(this, "cmbCommand");
    cmbCommand->setEditable(true);
    // Whatever is typed is sent as it stands; it does not join the list.
    cmbCommand->setInsertPolicy(QComboBox::NoInsert);
    // No completion either: it would turn a typed "RESUME" or "Pa" into a list entry.
    cmbCommand->setCompleter(nullptr);
    cmbCommand->setAccessibleName(QStringLiteral("Command"));
    placeInTwips(cmbCommand, 60, 480, 4455, 315);

    setTabOrder(btnConnect, txtOutput);
    setTabOrder(txtOutput, btnExecute);
    setTabOrder(btnExecute, cmbCommand);

    const QRect area = platform::fromTwips(0, 0, kClientWidthTwips, kClientHeightTwips);
    setFixedSize(area.size());
}

void frmTovrask::Form_Load()
{
    cmbCommand->addItems({QStringLiteral("Analyze"), QStringLiteral("Abort"), QStringLiteral("Pause"),
                          QStringLiteral("Resume"), QStringLiteral("Off")});
    cmbCommand->setCurrentIndex(-1);
}

void frmTovrask::keyPressEvent(QKeyEvent *event)
{
    // Enter presses the focused button, and Execute everywhere else: Execute is the default button.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto *focusedButton = qobject_cast<QPushButton *>(focusWidget());
        (focusedButton ? focusedButton : btnExecute)->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void frmTovrask::btnConnect_Click()
{
    // A Connect still waiting (for an answer, or for an instrument it started to come up)
    // goes on alone: a second one would cut its link and could start a second instrument.
    if (m_connecting)
        return;
    m_connecting = true;
    try {
        txtOutput->setLinkMode(kLinkModeNone);
        txtOutput->setLinkTopic(kInstrumentTopic);
        txtOutput->setLinkItem(kInstrumentItem);
    } catch (const RuntimeError &failure) {
        reportConnectFailure(failure);
        return;
    }
    openLink(true);
}

void frmTovrask::openLink(bool mayStartInstrument)
{
    try {
        txtOutput->setLinkMode(kLinkModeAutomatic);
    } catch (const RuntimeError &failure) {
        if (failure.number() == platform::DdeErrorNumber::NoApplication) {
            if (mayStartInstrument) {
                startInstrument();
                return;
            }
            if (!m_startDeadline.hasExpired()) {
                m_repeatTimer->start();
                return;
            }
        }
        reportConnectFailure(failure);
        return;
    }
    finishConnect();
}

void frmTovrask::finishConnect(const QString &message)
{
    // The attempt is over before its message shows, so a Connect pressed afterwards starts afresh.
    m_connecting = false;
    m_waitingForInstrument = false;
    m_repeatTimer->stop();
    if (!message.isEmpty())
        platform::showMessage(message);
    emit connectFinished();
}

void frmTovrask::startInstrument()
{
    if (m_starter.start() <= 0) {
        finishConnect(kCouldNotStart);
        return;
    }
    // The started program needs a moment before it answers; the link step is repeated meanwhile
    // on a timer, so the window stays responsive.
    m_waitingForInstrument = true;
    m_startDeadline.setRemainingTime(m_startWait);
    m_repeatTimer->start();
}

void frmTovrask::reportConnectFailure(const RuntimeError &failure)
{
    if (failure.number() == platform::DdeErrorNumber::NoConversation)
        finishConnect(kTurnInstrumentOn);
    else
        finishConnect(QStringLiteral("Error %1 on Connect.  %2").arg(failure.number()).arg(failure.description()));
}

void frmTovrask::btnExecute_Click()
{
    try {
        txtOutput->LinkExecute(cmbCommand->currentText());
    } catch (const RuntimeError &failure) {
        if (failure.number() == platform::DdeErrorNumber::NoConversation)
            platform::showMessage(kChannelClosed);
        else
            platform::showMessage(failure.error().message(QStringLiteral("Error ")));
    }
}

void frmTovrask::txtOutput_LinkError(int LinkErr)
{
    switch (LinkErr) {
    case platform::DdeLinkError::SourceVanished: platform::showMessage(kSourceClosed); break;
    case platform::DdeLinkError::NoRoom: platform::showMessage(kLinksInUse); break;
    default: platform::showMessage(QString()); break;
    }
}
