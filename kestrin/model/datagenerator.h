#pragma once

#include "gaussiansource.h"
#include "generationsettings.h"

#include "textfiles.h"

#include <QString>
#include <optional>

// The instrument's data lines: random values of a flat or Gaussian profile, or the lines of
// a data file, optionally behind a running point number. It holds what a run read from the
// panel and knows nothing of timers, windows or channels.
class DataGenerator
{
public:
    static constexpr int kDefaultInterval = 500; // milliseconds between lines

    // Takes the panel's settings for a run. A text that does not read as a number leaves
    // the previous value. Throws platform::RuntimeError when a frequency of 0 or one whose
    // interval does not fit (6, 11, 380) or a count beyond 16 bits is given.
    void ReadGenerationSettings(const GenerationSettings &settings);
    // Opens the data file of a run from a file (53, 75, 76 ... as platform::TextFiles).
    void openDataFile();
    void closeFiles();

    // The next line of the run, or nothing when the run is over (the finite count reached,
    // the file at its end). Throws platform::RuntimeError when the file cannot be read.
    std::optional<QString> nextLine(bool absoluteValue);

    void SetGenerationDefaults();

    // Milliseconds between lines, as the last run read them.
    int interval() const { return m_interval; }
    Generation::Source dataSource() const { return DataSource; }

    QString tokenSep() const { return TokenSep; }
    void setTokenSep(const QString &separator) { TokenSep = separator; }

private:
    float GetGaussianDeviate();
    QString GenerateRandomValues(bool absoluteValue);

    int m_interval = kDefaultInterval;
    QString TokenSep = QStringLiteral(",");
    qint32 PointNumber = 0;
    bool IncludePointNumber = false;
    Generation::Source DataSource = Generation::Source::Random;
    Generation::RunMode RunMode = Generation::RunMode::Continuous;
    qint16 NumLines = 0;
    qint16 PtsPerLine = 0;
    QString DataFileName;
    qint16 DataFileNum = 0;
    Generation::Distribution Distribution = Generation::Distribution::Flat;
    float Mean = 0.0f;
    float GaussScale = 0.0f;
    float FlatMin = 0.0f;
    float FlatMax = 1.0f;
    UniformSource m_uniform;
    GaussianSource m_gaussian;
    platform::TextFiles m_files;
};
