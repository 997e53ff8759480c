// PlotWindow: the controls, the link to the instrument, the frame pace and the exports.

#include "plotwindow.h"

#include "plotwidget.h"
#include "statisticslabel.h"
#include "tracestatistics.h"

#include "ddeclient.h"
#include "ddeerrors.h"
#include "errors.h"
#include "filedialog.h"
#include "messagebox.h"

#include <QCheckBox>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QStatusBar>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

using platform::RuntimeError;

namespace {

constexpr int kDefaultLines = 1000;
constexpr int kMinimumLines = 100;
constexpr int kMaximumLines = 100000;
// One repaint per frame at most, however fast the lines come; a line is in the picture by the
// frame after it came.
constexpr std::chrono::milliseconds kFrameInterval{16};
// The statistics are read, not watched: a few times a second is enough while lines stream, and
// every new text of the label also goes out to the accessibility bus. Lines that came since are
// in them by the first frame after the interval, whether or not more lines follow.
constexpr std::chrono::milliseconds kStatisticsInterval{250};

const QString kInstrumentTopic = QStringLiteral("Kestrin|Kestrin");
const QString kInstrumentItem = QStringLiteral("txtOutput");

const QString kTurnInstrumentOn =
    QStringLiteral("Error.  Please turn the Kestrin On before establishing a DDE connection.");
const QString kLinksInUse = QStringLiteral("Error. All Kestrin DDE links are in use.");

} // namespace

PlotWindow::PlotWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_rows(kDefaultLines)
    , m_frozenRows(kDefaultLines)
{
    setWindowTitle(QStringLiteral("Kestrin Plot"));

    m_frameTimer = new QTimer(this);
    m_frameTimer->setInterval(kFrameInterval);
    connect(m_frameTimer, &QTimer::timeout, this, &PlotWindow::showFrame);

    createControls();
    refreshStatus();
}

void PlotWindow::createControls()
{
    // The plot is the view of the item: the link needs no text box.
    m_link = new platform::DdeClient(this);
    connect(m_link, &platform::DdeClient::itemUpdated, this, &PlotWindow::handleUpdate);
    connect(m_link, &platform::DdeClient::LinkError, this, &PlotWindow::handleLinkError);

    m_connectButton = new QPushButton(tr("Connect"));
    m_pauseButton = new QPushButton(tr("Pause"));
    m_clearButton = new QPushButton(tr("Clear"));
    m_exportCsvButton = new QPushButton(tr("Export CSV..."));
    m_exportPngButton = new QPushButton(tr("Export PNG..."));
    m_holdScale = new QCheckBox(tr("Hold scale"));
    m_pointNumbers = new QCheckBox(tr("Point numbers"));
    m_pointNumbers->setToolTip(tr("The first value of each line is its x"));
    m_lines = new QSpinBox;
    m_lines->setRange(kMinimumLines, kMaximumLines);
    m_lines->setValue(kDefaultLines);
    m_lines->setSingleStep(100);
    m_lines->setGroupSeparatorShown(true);
    auto *linesLabel = new QLabel(tr("Lines:"));
    linesLabel->setBuddy(m_lines);

    m_plot = new PlotWidget;
    m_plot->setBuffer(&m_rows);
    m_statistics = new StatisticsLabel;
    // Named by its description: the accessible name stays the text, so AT-SPI clients read it.
    m_statistics->setAccessibleDescription(QStringLiteral("Statistics"));

    auto *controls = new QHBoxLayout;
    controls->addWidget(m_connectButton);
    controls->addWidget(m_pauseButton);
    controls->addWidget(m_clearButton);
    controls->addSpacing(12);
    controls->addWidget(linesLabel);
    controls->addWidget(m_lines);
    controls->addWidget(m_holdScale);
    controls->addWidget(m_pointNumbers);
    controls->addStretch();
    controls->addWidget(m_exportCsvButton);
    controls->addWidget(m_exportPngButton);

    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addLayout(controls);
    layout->addWidget(m_plot, 1);
    layout->addWidget(m_statistics);
    setCentralWidget(central);
    statusBar()->setSizeGripEnabled(true);

    connect(m_connectButton, &QPushButton::clicked, this, &PlotWindow::connectToInstrument);
    connect(m_pauseButton, &QPushButton::clicked, this, &PlotWindow::togglePause);
    connect(m_clearButton, &QPushButton::clicked, this, &PlotWindow::clearData);
    connect(m_exportCsvButton, &QPushButton::clicked, this, &PlotWindow::exportCsv);
    connect(m_exportPngButton, &QPushButton::clicked, this, &PlotWindow::exportPng);
    connect(m_holdScale, &QCheckBox::toggled, m_plot, &PlotWidget::setHoldScale);
    connect(m_lines, &QSpinBox::valueChanged, this, [this](int lines) {
        m_rows.setCapacity(lines);
        m_frozenRows.setCapacity(lines);
        m_newRows = true;
        showFrame();
    });
    // Line counts and point numbers are different x axes; the old rows would not fit the new one.
    connect(m_pointNumbers, &QCheckBox::toggled, this, &PlotWindow::clearData);
}

void PlotWindow::connectToInstrument()
{
    try {
        m_link->setLinkMode(platform::DdeClient::kLinkModeNone);
        m_link->setLinkTopic(kInstrumentTopic);
        m_link->setLinkItem(kInstrumentItem);
        m_link->setLinkMode(platform::DdeClient::kLinkModeAutomatic);
    } catch (const RuntimeError &failure) {
        m_linked = false;
        m_linkState = tr("Not linked");
        refreshStatus();
        if (failure.number() == platform::DdeErrorNumber::NoConversation)
            platform::showMessage(kTurnInstrumentOn);
        else
            platform::showMessage(
                QStringLiteral("Error %1 on Connect.  %2").arg(failure.number()).arg(failure.description()));
        return;
    }
    m_linked = true;
    m_linkState = tr("Linked to %1").arg(kInstrumentTopic);
    refreshStatus();
    m_frameTimer->start();
}

void PlotWindow::handleUpdate(const QString &text)
{
    const ParsedLine parsed = parseLine(text, m_pointNumbers->isChecked());
    switch (parsed.kind) {
    case ParsedLine::Kind::Unparsed:
        // Counted now, shown with the next frame: a stream of junk must not redraw the bar per line.
        ++m_unparsed;
        m_newRows = true;
        return;
    case ParsedLine::Kind::Data:
        m_lastX = m_pointNumbers->isChecked() ? parsed.x : double(m_lineCount++);
        m_rows.append({parsed.kind, m_lastX, parsed.values});
        break;
    case ParsedLine::Kind::Accepted:
    case ParsedLine::Kind::Refused: m_rows.append({parsed.kind, m_lastX, {}}); break;
    }
    m_newRows = true;
}

void PlotWindow::handleLinkError(int code)
{
    if (code == platform::DdeLinkError::NoRoom)
        platform::reportMessage(kLinksInUse);
    // A vanished source is the end of the link like a terminate; the next frame tells.
}

void PlotWindow::showFrame()
{
    if (m_linked && !m_link->isLinked()) {
        m_linked = false;
        m_linkState = tr("Link ended");
        refreshStatus();
        m_frameTimer->stop();
        if (m_statisticsBehind)
            refreshStatistics();
    }
    if (m_newRows) {
        refreshStatus();
        if (m_paused)
            return;
        m_newRows = false;
        m_plot->refresh();
        m_statisticsBehind = true;
    }
    // Checked in every frame, not only in those that bring lines: the last lines of a burst must
    // not wait for a line that may never come.
    if (m_statisticsBehind && (!m_statisticsAge.isValid() || m_statisticsAge.elapsed() >= kStatisticsInterval.count()))
        refreshStatistics();
}

void PlotWindow::togglePause()
{
    m_paused = !m_paused;
    m_pauseButton->setText(m_paused ? tr("Resume") : tr("Pause"));
    if (m_paused) {
        m_frozenRows = m_rows;
        m_plot->setBuffer(&m_frozenRows);
        // Held, the statistics describe exactly the picture held, lines of this frame included.
        refreshStatistics();
        return;
    }
    m_frozenRows.clear();
    m_plot->setBuffer(&m_rows);
    m_newRows = true;
    showFrame();
}

void PlotWindow::clearData()
{
    m_rows.clear();
    m_frozenRows.clear();
    m_lineCount = 0;
    m_lastX = 0.0;
    m_unparsed = 0;
    refreshStatus();
    refreshStatistics();
    m_plot->refresh();
}

const RingBuffer &PlotWindow::visibleRows() const
{
    return m_paused ? m_frozenRows : m_rows;
}

void PlotWindow::refreshStatistics()
{
    m_statisticsAge.start();
    m_statisticsBehind = false;
    const Legend legend = legendOf(visibleRows());
    m_statistics->setStatistics(legend.text, legend.symbols);
}

void PlotWindow::refreshStatus()
{
    QString message = m_linkState.isEmpty() ? tr("Not linked") : m_linkState;
    if (m_unparsed > 0)
        message += QStringLiteral(". ") + tr("Unparsed lines: %1").arg(m_unparsed);
    if (message != statusBar()->currentMessage())
        statusBar()->showMessage(message);
}

namespace {

// The name the user gives, or nothing when the dialog was cancelled. An export writes a file, so
// the dialog is one for saving: its button reads Save, the file may be new, and one that exists
// is replaced only once the user agreed. The name is taken as typed: no extension is added to it.
std::optional<QString> chooseExportFile(QWidget *parent, const QString &title, const QString &filter,
                                        const QString &suffix)
{
    platform::CommonDialog dialog;
    dialog.DialogTitle = title;
    dialog.Filter = filter;
    dialog.FileName = QStringLiteral("kestrin-plot.") + suffix;
    try {
        dialog.ShowSave(parent);
    } catch (const RuntimeError &failure) {
        if (failure.number() == platform::ErrorNumber::DialogCancelled)
            return std::nullopt;
        throw;
    }
    return dialog.FileName;
}

} // namespace

void PlotWindow::exportCsv()
{
    const std::optional<QString> path = chooseExportFile(
        this, tr("Export CSV"), QStringLiteral("CSV (*.csv)|*.csv|All (*.*)|*.*"), QStringLiteral("csv"));
    if (!path)
        return;
    const RingBuffer &rows = visibleRows();
    qsizetype traces = 0;
    for (qsizetype i = 0; i < rows.size(); ++i)
        traces = std::max(traces, rows.at(i).values.size());

    QSaveFile file(*path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        QTextStream out(&file);
        out << "x";
        for (qsizetype t = 1; t <= traces; ++t)
            out << ",trace " << t;
        out << '\n';
        // Markers are not values; the CSV holds the data rows only.
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const RingBuffer::Row &row = rows.at(i);
            if (row.kind != ParsedLine::Kind::Data)
                continue;
            out << QString::number(row.x, 'g', 15);
            for (const double value : row.values)
                out << ',' << QString::number(value, 'g', 15);
            out << '\n';
        }
        if (file.commit())
            return;
    }
    platform::showMessage(tr("Could not write %1: %2").arg(*path, file.errorString()));
}

void PlotWindow::exportPng()
{
    const std::optional<QString> path = chooseExportFile(
        this, tr("Export PNG"), QStringLiteral("PNG (*.png)|*.png|All (*.*)|*.*"), QStringLiteral("png"));
    if (!path)
        return;
    if (!m_plot->grab().save(*path, "PNG"))
        platform::showMessage(tr("Could not write %1").arg(*path));
}
