#pragma once

#include <QString>
#include <QtGlobal>

// What a run is made of, as the front panel holds it. The codes are the instrument's own
// (1 and 2), kept so that settings read the same wherever they are written down.
namespace Generation {

enum class Source : qint16 { Random = 1, File = 2 };
enum class RunMode : qint16 { Continuous = 1, Finite = 2 };
enum class Distribution : qint16 { Gaussian = 1, Flat = 2 };

} // namespace Generation

// The panel's choices and the texts of its boxes as typed. Each text is read when a run
// starts; one that does not read as a number leaves the value of the previous run.
struct GenerationSettings
{
    bool includePointNumber = false;
    Generation::Source dataSource = Generation::Source::Random;
    QString frequency = QStringLiteral("2"); // lines per second
    QString pointsPerLine = QStringLiteral("1");
    Generation::RunMode runMode = Generation::RunMode::Continuous;
    QString numberOfLines = QStringLiteral("100");
    Generation::Distribution distribution = Generation::Distribution::Flat;
    QString minimum = QStringLiteral("0.0");
    QString maximum = QStringLiteral("1.0");
    QString mean = QStringLiteral("0.0");
    QString standardDeviation = QStringLiteral("1.0");
    QString dataFilePath; // the file a run from a file plays
};

// Where the instrument reads its generation settings: the front panel, or anything else that
// holds them (a test, a program without a window).
class GenerationControls
{
public:
    // Read when a run starts.
    virtual GenerationSettings generationSettings() const = 0;
    // Read for every line, so a change during a run applies from the next line.
    virtual bool absoluteValue() const = 0;
    // "ANALYZE n" asks for one line of n points: the controls show a finite run of one line
    // of n points before the run reads them.
    virtual void presetFiniteRun(qint16 pointsPerLine) = 0;

protected:
    ~GenerationControls() = default;
};

// Settings held in memory, the panel's defaults to begin with.
class StoredGenerationControls : public GenerationControls
{
public:
    GenerationSettings settings;
    bool absolute = false;

    GenerationSettings generationSettings() const override { return settings; }
    bool absoluteValue() const override { return absolute; }
    void presetFiniteRun(qint16 pointsPerLine) override
    {
        settings.runMode = Generation::RunMode::Finite;
        settings.numberOfLines = QStringLiteral("1");
        settings.pointsPerLine = QString::number(pointsPerLine);
    }
};
