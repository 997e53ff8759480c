#include "datagenerator.h"

#include "modellogging.h"

#include "errors.h"
#include "numbers.h"

#include <cmath>

namespace {

constexpr qint32 kLastPointNumber = 2147483645;
constexpr float kMillisecondsPerSecond = 1000.0f;
const platform::NumberFormat kValueFormat(QStringLiteral("0.0####"));

} // namespace

void DataGenerator::SetGenerationDefaults()
{
    PointNumber = 0;
    IncludePointNumber = false;
    DataSource = Generation::Source::Random;
    m_interval = kDefaultInterval;
    RunMode = Generation::RunMode::Continuous;
    Distribution = Generation::Distribution::Flat;
    FlatMin = 0.0f;
    FlatMax = 1.0f;
}

void DataGenerator::ReadGenerationSettings(const GenerationSettings &settings)
{
    using platform::readsAsNumber;

    PointNumber = 0;
    IncludePointNumber = settings.includePointNumber;
    DataSource = settings.dataSource;
    if (DataSource == Generation::Source::File) {
        DataFileName = settings.dataFilePath;
        return;
    }

    if (readsAsNumber(settings.frequency)) {
        const float linesPerSecond = platform::toSingle(settings.frequency);
        if (linesPerSecond == 0.0f)
            throw platform::RuntimeError(platform::ErrorNumber::DivisionByZero);
        const qint16 interval = platform::toInteger16(kMillisecondsPerSecond / linesPerSecond);
        if (interval < 0)
            throw platform::RuntimeError(platform::ErrorNumber::InvalidPropertyValue);
        m_interval = interval;
    }
    if (readsAsNumber(settings.pointsPerLine))
        PtsPerLine = platform::toInteger16(settings.pointsPerLine);
    RunMode = settings.runMode;
    if (RunMode == Generation::RunMode::Finite && readsAsNumber(settings.numberOfLines))
        NumLines = platform::toInteger16(settings.numberOfLines);
    Distribution = settings.distribution;
    if (Distribution == Generation::Distribution::Gaussian) {
        if (readsAsNumber(settings.mean))
            Mean = platform::toSingle(settings.mean);
        if (readsAsNumber(settings.standardDeviation)) {
            const float standardDeviation = platform::toSingle(settings.standardDeviation);
            GaussScale = platform::toSingle(double(standardDeviation) * standardDeviation);
        }
    } else {
        if (readsAsNumber(settings.minimum))
            FlatMin = platform::toSingle(settings.minimum);
        if (readsAsNumber(settings.maximum))
            FlatMax = platform::toSingle(settings.maximum);
    }
    m_uniform.reseedFromClock();
}

void DataGenerator::openDataFile()
{
    if (DataSource != Generation::Source::File)
        return;
    DataFileNum = qint16(m_files.FreeFile());
    m_files.OpenForInput(DataFileNum, DataFileName);
    qCDebug(lcGenerator) << "playing" << DataFileName;
}

void DataGenerator::closeFiles()
{
    m_files.CloseAll();
}

float DataGenerator::GetGaussianDeviate()
{
    return m_gaussian.next([this] { return m_uniform.next(); });
}

QString DataGenerator::GenerateRandomValues(bool absoluteValue)
{
    QString values;
    const int count = PtsPerLine;
    constexpr int kTypicalValueLength = 10;
    values.reserve(qMax(count, 0) * kTypicalValueLength);
    for (int i = 1; i <= count; ++i) {
        double value = Distribution == Generation::Distribution::Gaussian
                           ? double(GaussScale) * GetGaussianDeviate() + double(Mean)
                           : double(FlatMin) + (double(FlatMax) - double(FlatMin)) * m_uniform.next();
        if (absoluteValue)
            value = std::fabs(value);
        values += kValueFormat.format(value);
        if (i < count)
            values += TokenSep;
    }
    return values;
}

std::optional<QString> DataGenerator::nextLine(bool absoluteValue)
{
    PointNumber = PointNumber >= kLastPointNumber ? 1 : PointNumber + 1;
    QString line;
    if (IncludePointNumber)
        line = QString::number(PointNumber) + TokenSep;

    if (DataSource == Generation::Source::Random) {
        if (RunMode == Generation::RunMode::Finite && PointNumber > NumLines)
            return std::nullopt;
        return line + GenerateRandomValues(absoluteValue);
    }
    if (m_files.Eof(DataFileNum))
        return std::nullopt;
    return line + m_files.LineInput(DataFileNum);
}
