// frmMain: the data generator, which produces one data line per tick of tmrDataGen.

#include "core/frmMain.h"

#include "errors.h"
#include "numbers.h"
#include "periodictimer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <cmath>

namespace {

constexpr qint32 kLastPointNumber = 2147483645;
constexpr float kMillisecondsPerSecond = 1000.0f;
const QString kValuePattern = QStringLiteral("0.0####");

bool isTicked(const QCheckBox *box)
{
    // Only a fully ticked box counts; the partial (greyed) state does not.
    return box->checkState() == Qt::Checked;
}

} // namespace

void frmMain::ReadGenerationSettings()
{
    using platform::readsAsNumber;

    PointNumber = 0;
    IncludePointNumber = isTicked(chkPointNumber);

    if (opRandom->isChecked()) {
        DataSource = 1;
        if (readsAsNumber(txtFrequency->text())) {
            const float linesPerSecond = platform::toSingle(txtFrequency->text());
            if (linesPerSecond == 0.0f)
                throw platform::RuntimeError(platform::ErrorNumber::DivisionByZero);
            const qint16 interval = platform::toInteger16(kMillisecondsPerSecond / linesPerSecond);
            if (interval < 0)
                throw platform::RuntimeError(platform::ErrorNumber::InvalidPropertyValue);
            tmrDataGen->setInterval(interval);
        }
        if (readsAsNumber(txtPtsPerLine->text()))
            PtsPerLine = platform::toInteger16(txtPtsPerLine->text());
        if (opContinuous->isChecked()) {
            RunMode = 1;
        } else if (opFinite->isChecked()) {
            RunMode = 2;
            if (readsAsNumber(txtNumPts->text()))
                NumLines = platform::toInteger16(txtNumPts->text());
        }
        if (opGaussian->isChecked()) {
            Distribution = 1;
            if (readsAsNumber(txtMean->text()))
                Mean = platform::toSingle(txtMean->text());
            if (readsAsNumber(txtStDev->text())) {
                const float standardDeviation = platform::toSingle(txtStDev->text());
                GaussScale = platform::toSingle(double(standardDeviation) * standardDeviation);
            }
        } else if (opFlat->isChecked()) {
            Distribution = 2;
            if (readsAsNumber(txtMin->text()))
                FlatMin = platform::toSingle(txtMin->text());
            if (readsAsNumber(txtMax->text()))
                FlatMax = platform::toSingle(txtMax->text());
        }
        m_uniform.reseedFromClock();
    } else if (opFile->isChecked()) {
        DataSource = 2;
        DataFileName = txtFileName->text();
    }
}

float frmMain::GetGaussianDeviate()
{
    return m_gaussian.next([this] { return m_uniform.next(); });
}

QString frmMain::GenerateRandomValues()
{
    QString values;
    const int count = PtsPerLine;
    for (int i = 1; i <= count; ++i) {
        double value = Distribution == 1 ? double(GaussScale) * GetGaussianDeviate() + double(Mean)
                                         : double(FlatMin) + (double(FlatMax) - double(FlatMin)) * m_uniform.next();
        // Read at every point, so a change during a run applies from the next point.
        if (isTicked(chkAbsVal))
            value = std::fabs(value);
        values += platform::formatNumber(value, kValuePattern);
        if (i < count)
            values += TokenSep;
    }
    return values;
}

void frmMain::tmrDataGen_Timer()
{
    if (m_instrumentState == InstrumentState::Off || m_instrumentState == InstrumentState::Paused)
        return;

    PointNumber = PointNumber >= kLastPointNumber ? 1 : PointNumber + 1;
    QString line;
    if (IncludePointNumber)
        line = QString::number(PointNumber) + TokenSep;

    if (DataSource == 1) {
        if (RunMode == 2 && PointNumber > NumLines) {
            ExecuteCommand(QStringLiteral("Abort"));
            return;
        }
        line += GenerateRandomValues();
    } else {
        try {
            if (m_files.Eof(DataFileNum)) {
                ExecuteCommand(QStringLiteral("Abort"));
                return;
            }
            line += m_files.LineInput(DataFileNum);
        } catch (const platform::RuntimeError &failure) {
            // A file that cannot be read, or a line too long to hand out, ends the run; the
            // reason goes to the status bar, not into a box that would wait on the
            // instrument's screen.
            ExecuteCommand(QStringLiteral("Abort"));
            setStatusText(QStringLiteral("Stopped: ") + failure.description());
            return;
        }
    }

    WriteOutput(line);
    if (CommEnabled)
        ReturnRS232Result(line);
    // Not gated on the socket's state: while the socket is reset it reads closed, yet a
    // client that finished sending still takes the lines it asked for.
    ReturnNetworkResult(line);
}
