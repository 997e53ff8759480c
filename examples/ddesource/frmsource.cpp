// frmSource: the demonstration DDE source's window, its DDE events and its counter.

#include "frmSource.h"

#include "controls.h"
#include "ddesource.h"
#include "ddewindowitems.h"
#include "geometry.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextStream>
#include <QTimer>

#include <limits>

using platform::makeBuddyLabel;
using platform::makeControl;
using platform::placeInTwips;

namespace {

constexpr int kClientWidthTwips = 4680;
constexpr int kClientHeightTwips = 3240;
constexpr int kCountInterval = 1000;
// The log keeps the latest entries and the start of long texts, so a busy or verbose
// client cannot make it grow without bound.
constexpr int kLogEntries = 1000;
constexpr int kLoggedCharacters = 200;

const QString kResetCommand = QStringLiteral("RESET");
const QString kDataItem = QStringLiteral("txtData");

// A received text as the log shows it: in quotes, a long one by its start and its length.
QString quoted(const QString &text)
{
    if (text.size() <= kLoggedCharacters)
        return QStringLiteral("\"%1\"").arg(text);
    return QStringLiteral("\"%1...\" (%2 characters)").arg(text.left(kLoggedCharacters), QString::number(text.size()));
}

} // namespace

frmSource::frmSource(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("frmSource"));
    setWindowTitle(QStringLiteral("DDE Source"));
    setFont(platform::dialogFont());

    createControls();

    tmrCount = new QTimer(this);
    tmrCount->setObjectName(QStringLiteral("tmrCount"));
    tmrCount->setInterval(kCountInterval);
    connect(tmrCount, &QTimer::timeout, this, &frmSource::tmrCount_Timer);

    // The source serves the window's text boxes; txtData is the only one.
    m_source = new platform::DdeSource(QLatin1String(kApplicationName), this);
    m_source->setLinkTopic(QLatin1String(kTopic));
    m_source->setHandler(this);
    new platform::DdeWindowItems(m_source, this);
    connect(m_source, &platform::DdeSource::LinkClose, this, &frmSource::Form_LinkClose);
    m_source->setLinkMode(platform::DdeSource::kLinkModeSource);

    connect(m_source, &platform::DdeSource::serviceMessage, lblStatus, &QLabel::setText);
    lblStatus->setText(m_source->isServing()
                           ? QStringLiteral("Serving %1|%2").arg(QLatin1String(kApplicationName), QLatin1String(kTopic))
                           : m_source->serviceProblem());
}

frmSource::~frmSource() = default;

void frmSource::createControls()
{
    txtData = makeControl<QLineEdit>(this, "txtData");
    lblData = makeBuddyLabel(this, "lblData", QStringLiteral("&Data:"), txtData);
    placeInTwips(lblData, 60, 60, 1095, 255);
    placeInTwips(txtData, 60, 300, 3135, 315);
    // A poked text is kept whole, whatever its length, as every client of the item sees it.
    txtData->setMaxLength(std::numeric_limits<int>::max());
    txtData->setText(QLatin1String(kResetValue));

    chkCount = makeControl<QCheckBox>(this, "chkCount", QStringLiteral("&Count up"));
    placeInTwips(chkCount, 3300, 300, 1320, 315);
    connect(chkCount, &QCheckBox::clicked, this, &frmSource::chkCount_Click);

    txtLog = makeControl<QPlainTextEdit>(this, "txtLog");
    txtLog->setReadOnly(true);
    txtLog->setMaximumBlockCount(kLogEntries);
    lblLog = makeBuddyLabel(this, "lblLog", QStringLiteral("&Received:"), txtLog);
    placeInTwips(lblLog, 60, 720, 1095, 255);
    placeInTwips(txtLog, 60, 960, 4560, 1860);

    lblStatus = makeControl<QLabel>(this, "lblStatus");
    placeInTwips(lblStatus, 60, 2880, 4560, 255);

    const QRect area = platform::fromTwips(0, 0, kClientWidthTwips, kClientHeightTwips);
    setFixedSize(area.size());
}

void frmSource::Form_LinkOpen(bool &cancel)
{
    cancel = false;
    LogReceived(QStringLiteral("initiate"));
}

void frmSource::Form_LinkExecute(const QString &command, bool &cancel)
{
    // Only RESET is known; anything else gets a negative acknowledgement.
    cancel = command.trimmed().compare(kResetCommand, Qt::CaseInsensitive) != 0;
    LogReceived(QStringLiteral("execute %1%2").arg(quoted(command), cancel ? QStringLiteral(" refused") : QString()));
    if (!cancel)
        m_source->writeItem(kDataItem, QLatin1String(kResetValue));
}

void frmSource::Form_LinkPoke(const QString &item, const QString &text, bool &cancel)
{
    cancel = false;
    LogReceived(QStringLiteral("poke %1 %2").arg(item, quoted(text)));
}

void frmSource::Form_LinkClose()
{
    LogReceived(QStringLiteral("terminate"));
}

void frmSource::chkCount_Click()
{
    if (chkCount->isChecked())
        tmrCount->start();
    else
        tmrCount->stop();
}

void frmSource::tmrCount_Timer()
{
    // A value that is not a whole number, or one at the end of the range, starts the count afresh.
    bool whole = false;
    const qlonglong value = m_source->itemValue(kDataItem).trimmed().toLongLong(&whole);
    const bool fits = whole && value <= std::numeric_limits<qlonglong>::max() - kCountStep;
    m_source->writeItem(kDataItem, QString::number(fits ? value + kCountStep : 0));
}

void frmSource::LogReceived(const QString &entry)
{
    if (m_received.size() == kLogEntries)
        m_received.removeFirst();
    m_received << entry;
    txtLog->appendPlainText(entry);
    QTextStream(stdout) << entry << Qt::endl;
    emit logged(entry);
}
