// frmMain: the front panel's generation settings, their option groups and the data file choice.

#include "frmMain.h"

#include "instrument.h"

#include "controls.h"
#include "errors.h"
#include "geometry.h"
#include "messagebox.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <utility>

using platform::makeControl;
using platform::placeInTwips;

namespace {

QLineEdit *makeLabelledBox(QWidget *parent, const char *boxName, const char *labelName, const QString &caption)
{
    auto *box = platform::makeControl<QLineEdit>(parent, boxName);
    platform::makeBuddyLabel(parent, labelName, caption, box);
    return box;
}

QLabel *labelOf(QWidget *parent, const char *name)
{
    return parent->findChild<QLabel *>(QLatin1String(name), Qt::FindDirectChildrenOnly);
}

bool isTicked(const QCheckBox *box)
{
    // Only a fully ticked box counts; the partial (greyed) state does not.
    return box->checkState() == Qt::Checked;
}

} // namespace

void frmMain::createGenerationPanel()
{
    QGroupBox *panel = fraDataGeneration;

    opRandom = makeControl<QRadioButton>(panel, "opRandom", QStringLiteral("Random"));
    placeInTwips(opRandom, 120, 240, 1200, 285);
    chkPointNumber = makeControl<QCheckBox>(panel, "chkPointNumber", QStringLiteral("Include data point number"));
    placeInTwips(chkPointNumber, 1440, 240, 3000, 285);

    btnStartAbort = makeControl<QPushButton>(panel, "btnStartAbort", QStringLiteral("Start"));
    placeInTwips(btnStartAbort, 5100, 180, 975, 435);
    btnPauseResume = makeControl<QPushButton>(panel, "btnPauseResume", QStringLiteral("Pause"));
    placeInTwips(btnPauseResume, 6120, 180, 1035, 435);

    fraPoints = makeControl<QGroupBox>(panel, "fraPoints", QStringLiteral("Points"));
    placeInTwips(fraPoints, 120, 660, 3555, 1575);
    fraPoints->setAccessibleName(fraPoints->title());
    txtFrequency = makeLabelledBox(fraPoints, "txtFrequency", "lblFrequency", QStringLiteral("Frequency:"));
    placeInTwips(labelOf(fraPoints, "lblFrequency"), 120, 300, 1035, 255);
    placeInTwips(txtFrequency, 1200, 255, 735, 315);
    placeInTwips(makeControl<QLabel>(fraPoints, "lblFrequencyUnit", QStringLiteral("(lines/second)")), 2010, 300, 1455,
                 255);
    txtPtsPerLine = makeLabelledBox(fraPoints, "txtPtsPerLine", "lblLineFormat", QStringLiteral("Line Format:"));
    placeInTwips(labelOf(fraPoints, "lblLineFormat"), 120, 630, 1035, 255);
    placeInTwips(txtPtsPerLine, 1200, 585, 735, 315);
    placeInTwips(makeControl<QLabel>(fraPoints, "lblPtsPerLineUnit", QStringLiteral("(pts/line)")), 2010, 630, 1455,
                 255);
    opContinuous = makeControl<QRadioButton>(fraPoints, "opContinuous", QStringLiteral("Continuous"));
    placeInTwips(opContinuous, 120, 930, 1500, 255);
    opFinite = makeControl<QRadioButton>(fraPoints, "opFinite", QStringLiteral("Finite"));
    placeInTwips(opFinite, 120, 1215, 960, 255);
    txtNumPts = makeLabelledBox(fraPoints, "txtNumPts", "lblNumPts", QStringLiteral("No. Lines:"));
    placeInTwips(labelOf(fraPoints, "lblNumPts"), 1140, 1215, 975, 255);
    placeInTwips(txtNumPts, 2160, 1170, 735, 315);
    txtNumPts->setText(QStringLiteral("100"));

    opFile = makeControl<QRadioButton>(panel, "opFile", QStringLiteral("From a file"));
    placeInTwips(opFile, 120, 2295, 1500, 285);
    btnFileName = makeControl<QPushButton>(panel, "btnFileName", QStringLiteral("..."));
    btnFileName->setAccessibleName(QStringLiteral("Choose data file"));
    placeInTwips(btnFileName, 1680, 2265, 435, 315);
    txtFileName = makeLabelledBox(panel, "txtFileName", "lblFileName", QStringLiteral("File Name:"));
    lblFileName = labelOf(panel, "lblFileName");
    placeInTwips(lblFileName, 120, 2640, 975, 255);
    placeInTwips(txtFileName, 1140, 2595, 2535, 315);

    fraProfile = makeControl<QGroupBox>(panel, "fraProfile", QStringLiteral("Profile"));
    placeInTwips(fraProfile, 3780, 660, 3375, 2250);
    fraProfile->setAccessibleName(fraProfile->title());
    opFlat = makeControl<QRadioButton>(fraProfile, "opFlat", QStringLiteral("Flat"));
    placeInTwips(opFlat, 120, 270, 1200, 255);
    txtMin = makeLabelledBox(fraProfile, "txtMin", "lblMin", QStringLiteral("Min:"));
    placeInTwips(labelOf(fraProfile, "lblMin"), 360, 600, 540, 255);
    placeInTwips(txtMin, 900, 555, 780, 315);
    txtMax = makeLabelledBox(fraProfile, "txtMax", "lblMax", QStringLiteral("Max:"));
    placeInTwips(labelOf(fraProfile, "lblMax"), 1800, 600, 600, 255);
    placeInTwips(txtMax, 2430, 555, 780, 315);
    opGaussian = makeControl<QRadioButton>(fraProfile, "opGaussian", QStringLiteral("Gaussian"));
    placeInTwips(opGaussian, 120, 990, 1200, 255);
    txtMean = makeLabelledBox(fraProfile, "txtMean", "lblMean", QStringLiteral("Mean:"));
    placeInTwips(labelOf(fraProfile, "lblMean"), 360, 1320, 540, 255);
    placeInTwips(txtMean, 900, 1275, 780, 315);
    txtStDev = makeLabelledBox(fraProfile, "txtStDev", "lblStDev", QStringLiteral("St Dev:"));
    placeInTwips(labelOf(fraProfile, "lblStDev"), 1800, 1320, 600, 255);
    placeInTwips(txtStDev, 2430, 1275, 780, 315);
    txtStDev->setToolTip(QStringLiteral("Used squared: an entry of 2.0 scales the normal deviates by 4.0."));
    chkAbsVal = makeControl<QCheckBox>(fraProfile, "chkAbsVal", QStringLiteral("Absolute Value"));
    placeInTwips(chkAbsVal, 120, 1740, 2000, 285);

    // Each container's two options form a group of their own. Qt's automatic exclusivity
    // would take in the options of the inner frames as well, and let "Random" and "From a
    // file" show selected together.
    for (auto [first, second] :
         {std::pair{opRandom, opFile}, std::pair{opContinuous, opFinite}, std::pair{opFlat, opGaussian}}) {
        auto *group = new QButtonGroup(first->parentWidget());
        group->addButton(first);
        group->addButton(second);
    }

    connect(btnStartAbort, &QPushButton::clicked, this, &frmMain::btnStartAbort_Click);
    connect(btnPauseResume, &QPushButton::clicked, this, &frmMain::btnPauseResume_Click);
    connect(btnFileName, &QPushButton::clicked, this, &frmMain::btnFileName_Click);
    // An option's handler runs whenever it becomes selected: by the pointer, the keyboard or an
    // accessibility tool.
    const std::pair<QRadioButton *, void (frmMain::*)()> options[] = {
        {opRandom, &frmMain::opRandom_Click},
        {opFile, &frmMain::opFile_Click},
        {opContinuous, &frmMain::opContinuous_Click},
        {opFinite, &frmMain::opFinite_Click},
        {opFlat, &frmMain::opFlat_Click},
        {opGaussian, &frmMain::opGaussian_Click},
    };
    for (const auto &[option, handler] : options) {
        connect(option, &QRadioButton::toggled, this, [this, handler = handler](bool selected) {
            if (selected)
                (this->*handler)();
        });
    }
    // A name typed into the box replaces the file chosen in the dialog.
    connect(txtFileName, &QLineEdit::textEdited, this, [this] { m_chosenDataFile.clear(); });

    dlgFile.DialogTitle = QStringLiteral("Open Data File");
    dlgFile.Filter = QStringLiteral("Text (*.txt)|*.txt|All (*.*)|*.*");
    dlgFile.DefaultExt = QStringLiteral("txt");
}

void frmMain::selectOption(QRadioButton *option, void (frmMain::*handler)())
{
    // Selecting an option in code runs its handler once, also when it was selected already
    // (selecting an unselected option runs it through the toggled connection).
    if (option->isChecked())
        (this->*handler)();
    else
        option->setChecked(true);
}

void frmMain::SetGenerationDefaults()
{
    m_instrument->SetGenerationDefaults();
    const GenerationSettings defaults;
    chkPointNumber->setCheckState(Qt::Unchecked);
    selectOption(opRandom, &frmMain::opRandom_Click);
    txtFrequency->setText(defaults.frequency);
    txtPtsPerLine->setText(defaults.pointsPerLine);
    selectOption(opContinuous, &frmMain::opContinuous_Click);
    selectOption(opFlat, &frmMain::opFlat_Click);
    txtMin->setText(defaults.minimum);
    txtMax->setText(defaults.maximum);
    txtMean->setText(defaults.mean);
    txtStDev->setText(defaults.standardDeviation);
}

GenerationSettings frmMain::generationSettings() const
{
    GenerationSettings settings;
    settings.includePointNumber = isTicked(chkPointNumber);
    settings.dataSource = opFile->isChecked() ? Generation::Source::File : Generation::Source::Random;
    settings.frequency = txtFrequency->text();
    settings.pointsPerLine = txtPtsPerLine->text();
    settings.runMode = opFinite->isChecked() ? Generation::RunMode::Finite : Generation::RunMode::Continuous;
    settings.numberOfLines = txtNumPts->text();
    settings.distribution =
        opGaussian->isChecked() ? Generation::Distribution::Gaussian : Generation::Distribution::Flat;
    settings.minimum = txtMin->text();
    settings.maximum = txtMax->text();
    settings.mean = txtMean->text();
    settings.standardDeviation = txtStDev->text();
    settings.dataFilePath = dataFilePath();
    return settings;
}

bool frmMain::absoluteValue() const
{
    return isTicked(chkAbsVal);
}

void frmMain::presetFiniteRun(qint16 pointsPerLine)
{
    selectOption(opFinite, &frmMain::opFinite_Click);
    txtNumPts->setText(QStringLiteral("1"));
    txtPtsPerLine->setText(QString::number(pointsPerLine));
}

void frmMain::opRandom_Click()
{
    fraPoints->setEnabled(true);
    fraProfile->setEnabled(true);
    txtFileName->setEnabled(false);
    btnFileName->setEnabled(false);
}

void frmMain::opFile_Click()
{
    txtFileName->setEnabled(true);
    btnFileName->setEnabled(true);
    fraPoints->setEnabled(false);
    fraProfile->setEnabled(false);
}

void frmMain::opContinuous_Click()
{
    txtNumPts->setEnabled(false);
}

void frmMain::opFinite_Click()
{
    txtNumPts->setEnabled(true);
}

void frmMain::opFlat_Click()
{
    txtMin->setEnabled(true);
    txtMax->setEnabled(true);
    txtMean->setEnabled(false);
    txtStDev->setEnabled(false);
}

void frmMain::opGaussian_Click()
{
    txtMean->setEnabled(true);
    txtStDev->setEnabled(true);
    txtMin->setEnabled(false);
    txtMax->setEnabled(false);
}

void frmMain::btnFileName_Click()
{
    try {
        dlgFile.FileName.clear();
        dlgFile.ShowOpen(this);
        m_chosenDataFile = QFileInfo(dlgFile.FileName).absoluteFilePath();
        txtFileName->setText(dlgFile.FileTitle());
    } catch (const platform::RuntimeError &failure) {
        if (failure.number() != platform::ErrorNumber::DialogCancelled)
            platform::showMessage(failure.error().message(QStringLiteral("Error (frmMain - btnFileName_Click) ")));
    }
}

QString frmMain::dataFilePath() const
{
    // The box shows only the chosen file's title; a run plays the file chosen in the dialog,
    // in whatever folder it lies, while the box still shows that title. A typed name is
    // opened relative to the current directory.
    const QString typed = txtFileName->text();
    if (!m_chosenDataFile.isEmpty() && QFileInfo(m_chosenDataFile).fileName() == typed)
        return m_chosenDataFile;
    return typed;
}
