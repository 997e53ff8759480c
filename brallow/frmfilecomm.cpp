#include "frmFileComm.h"

#include "controls.h"
#include "errors.h"
#include "geometry.h"
#include "messagebox.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QPushButton>

#include <limits>

using platform::makeControl;
using platform::placeInTwips;

namespace {

constexpr int kClientWidthTwips = 7785;
constexpr int kClientHeightTwips = 1365;

const QString kAllFilesFilter = QStringLiteral("All Files (*.*)|*.*");
const QString kInputTitle = QStringLiteral("Please enter the input file for communications");
const QString kOutputTitle = QStringLiteral("Please enter the output file for communications");

} // namespace

frmFileComm::frmFileComm(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("frmFileComm"));
    setWindowTitle(QStringLiteral("File Communications"));
    setFont(platform::dialogFont());
    setFixedSize(platform::fromTwips(0, 0, kClientWidthTwips, kClientHeightTwips).size());
    createControls();
}

frmFileComm::~frmFileComm() = default;

void frmFileComm::createControls()
{
    btnSend = makeControl<QPushButton>(this, "btnSend", QStringLiteral("Send"));
    placeInTwips(btnSend, 6420, 120, 1335, 375);
    txtOut = makeControl<QLineEdit>(this, "txtOut");
    placeInTwips(txtOut, 120, 120, 6255, 315);
    txtIn = makeControl<QLineEdit>(this, "txtIn");
    placeInTwips(txtIn, 120, 540, 6255, 315);
    btnSetInput = makeControl<QPushButton>(this, "btnSetInput", QStringLiteral("Set Input"));
    placeInTwips(btnSetInput, 120, 900, 1335, 375);
    btnSetOutput = makeControl<QPushButton>(this, "btnSetOutput", QStringLiteral("Set Output"));
    placeInTwips(btnSetOutput, 1500, 900, 1335, 375);
    btnReceive = makeControl<QPushButton>(this, "btnReceive", QStringLiteral("Receive"));
    placeInTwips(btnReceive, 6420, 540, 1335, 375);

    // The text boxes have no labels; their names tell assistive tools what they hold.
    txtOut->setAccessibleName(QStringLiteral("Text to send"));
    txtIn->setAccessibleName(QStringLiteral("Received text"));
    // Text from the other program may be far longer than a line edit's default limit of
    // 32767 characters, which would cut it silently.
    txtOut->setMaxLength(std::numeric_limits<int>::max());
    txtIn->setMaxLength(std::numeric_limits<int>::max());

    setTabOrder(btnSend, txtOut);
    setTabOrder(txtOut, txtIn);
    setTabOrder(txtIn, btnSetInput);
    setTabOrder(btnSetInput, btnSetOutput);
    setTabOrder(btnSetOutput, btnReceive);
    btnSend->setFocus();

    connect(btnSend, &QPushButton::clicked, this, &frmFileComm::btnSend_Click);
    connect(btnReceive, &QPushButton::clicked, this, &frmFileComm::btnReceive_Click);
    connect(btnSetInput, &QPushButton::clicked, this, &frmFileComm::btnSetInput_Click);
    connect(btnSetOutput, &QPushButton::clicked, this, &frmFileComm::btnSetOutput_Click);
}

clsFileComm &frmFileComm::FileComm()
{
    if (!m_fileComm) {
        m_fileComm = std::make_unique<clsFileComm>();
        // A text the box would cut is left unread instead.
        m_fileComm->setMaxReceive(txtIn->maxLength());
    }
    return *m_fileComm;
}

QString frmFileComm::ChooseFile(const QString &current, const QString &title)
{
    cdlFile.FileName = current;
    cdlFile.DialogTitle = title;
    cdlFile.Filter = kAllFilesFilter;
    // Also the output file is picked with the open dialog; a name not there yet is accepted.
    cdlFile.MustExist = false;
    cdlFile.ShowOpen(this);
    return cdlFile.FileName;
}

void frmFileComm::btnSetInput_Click()
{
    try {
        FileComm().setInFile(ChooseFile(FileComm().InFile(), kInputTitle));
    } catch (const platform::RuntimeError &failure) {
        if (failure.number() != platform::ErrorNumber::DialogCancelled)
            platform::showMessage(failure.error().message(QStringLiteral("Error (frmFileComm - btnSetInput) ")));
    }
}

void frmFileComm::btnSetOutput_Click()
{
    try {
        FileComm().setOutFile(ChooseFile(FileComm().OutFile(), kOutputTitle));
    } catch (const platform::RuntimeError &failure) {
        if (failure.number() != platform::ErrorNumber::DialogCancelled)
            platform::showMessage(failure.error().message(QStringLiteral("Error (frmFileComm - btnSetOutput) ")));
    }
}

void frmFileComm::btnSend_Click()
{
    FileComm().SendData(txtOut->text());
    cancelWaitsIfClosing();
}

void frmFileComm::btnReceive_Click()
{
    txtIn->setText(FileComm().GetData());
    cancelWaitsIfClosing();
}

void frmFileComm::cancelWaitsIfClosing()
{
    if (m_closing && m_fileComm && m_fileComm->isWaiting())
        m_fileComm->setCancel(true);
}

void frmFileComm::closeEvent(QCloseEvent *event)
{
    // A Send or Receive waiting for the other program would keep the closed program running
    // for as long as the other one holds the file; the waits end instead, writing nothing.
    m_closing = true;
    if (m_fileComm && m_fileComm->isWaiting())
        m_fileComm->setCancel(true);
    QWidget::closeEvent(event);
}
