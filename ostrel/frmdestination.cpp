// frmDestination: the window, its three DDE operations and the background rule.

#include "frmDestination.h"
#include "backgroundrule.h"

#include "controls.h"
#include "ddetextbox.h"
#include "errors.h"
#include "geometry.h"
#include "messagebox.h"

#include <QApplication>
#include <QPushButton>

using platform::makeControl;
using platform::placeInTwips;

namespace {

constexpr int kClientWidthTwips = 4680;
constexpr int kClientHeightTwips = 795;

constexpr int kLinkModeNone = platform::DdeTextBox::kLinkModeNone;
constexpr int kLinkModeAutomatic = platform::DdeTextBox::kLinkModeAutomatic;

const QString kSourceTopic = QStringLiteral("Source|DDESource");
const QString kSourceItem = QStringLiteral("txtData");
const QString kResetCommand = QStringLiteral("RESET");

const QColor kRed(255, 0, 0);

QColor buttonFaceColour()
{
    return QApplication::palette().color(QPalette::Button);
}

} // namespace

frmDestination::frmDestination(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("frmDestination"));
    setWindowTitle(QStringLiteral("DDE Destination"));
    setFont(platform::dialogFont());
    setAutoFillBackground(true);
    setBackColor(buttonFaceColour());

    createControls();
}

frmDestination::~frmDestination() = default;

void frmDestination::createControls()
{
    txtConnect = makeControl<platform::DdeTextBox>(this, "txtConnect");
    txtConnect->setAccessibleName(QStringLiteral("Source value"));
    placeInTwips(txtConnect, 60, 60, 4515, 315);
    connect(txtConnect, &QLineEdit::textChanged, this, &frmDestination::txtConnect_Change);

    btnConnect = makeControl<QPushButton>(this, "btnConnect", QStringLiteral("Connect"));
    placeInTwips(btnConnect, 60, 420, 1215, 315);
    connect(btnConnect, &QPushButton::clicked, this, &frmDestination::btnConnect_Click);

    btnReset = makeControl<QPushButton>(this, "btnReset", QStringLiteral("Reset"));
    placeInTwips(btnReset, 1380, 420, 1215, 315);
    connect(btnReset, &QPushButton::clicked, this, &frmDestination::btnReset_Click);

    btnPoke = makeControl<QPushButton>(this, "btnPoke", QStringLiteral("Poke"));
    placeInTwips(btnPoke, 2700, 420, 1215, 315);
    connect(btnPoke, &QPushButton::clicked, this, &frmDestination::btnPoke_Click);

    setTabOrder(txtConnect, btnConnect);
    setTabOrder(btnConnect, btnReset);
    setTabOrder(btnReset, btnPoke);

    const QRect area = platform::fromTwips(0, 0, kClientWidthTwips, kClientHeightTwips);
    setFixedSize(area.size());
}

template<typename Operation>
void frmDestination::runReported(const char *procedure, Operation operation)
{
    try {
        operation();
    } catch (const platform::RuntimeError &failure) {
        platform::showMessage(
            failure.error().message(QStringLiteral("Error (frmDestination - %1) ").arg(QLatin1String(procedure))));
    }
}

void frmDestination::btnConnect_Click()
{
    runReported("btnConnect_Click", [this] {
        txtConnect->setLinkMode(kLinkModeNone);
        txtConnect->setLinkTopic(kSourceTopic);
        txtConnect->setLinkItem(kSourceItem);
        txtConnect->setLinkMode(kLinkModeAutomatic);
    });
}

void frmDestination::btnPoke_Click()
{
    runReported("btnPoke_Click", [this] { txtConnect->LinkPoke(); });
}

void frmDestination::btnReset_Click()
{
    runReported("btnReset_Click", [this] { txtConnect->LinkExecute(kResetCommand); });
}

void frmDestination::txtConnect_Change()
{
    const std::optional<Background> background = backgroundFor(txtConnect->text());
    if (!background)
        return;
    setBackColor(*background == Background::Red ? kRed : buttonFaceColour());
}

QColor frmDestination::backColor() const
{
    return palette().color(QPalette::Window);
}

void frmDestination::setBackColor(const QColor &colour)
{
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, colour);
    setPalette(windowPalette);
}
