#include "frmXmitFormats.h"

#include "instrumentsettings.h"
#include "settingchoices.h"

#include "controls.h"
#include "geometry.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using platform::placeInTwips;

namespace {

constexpr int kClientWidthTwips = 4620;
constexpr int kClientHeightTwips = 900;

// Marks a list whose edit field holds text the user typed rather than a picked entry.
const char *const kTypedProperty = "typedText";

// An editable list that takes typed text as it stands: no completion that would turn ";"
// into an entry, and no typed text added to the entries.
QComboBox *makeFormatList(QWidget *parent, const char *name)
{
    auto *list = platform::makeControl<QComboBox>(parent, name);
    list->setEditable(true);
    list->setInsertPolicy(QComboBox::NoInsert);
    list->setCompleter(nullptr);
    QObject::connect(list->lineEdit(), &QLineEdit::textEdited, list,
                     [list] { list->setProperty(kTypedProperty, true); });
    QObject::connect(list, &QComboBox::activated, list, [list] { list->setProperty(kTypedProperty, false); });
    return list;
}

void addFormat(QComboBox *list, const QString &text, qint32 code)
{
    list->addItem(text);
    list->setItemData(list->count() - 1, code);
}

// The selected entry, or -1 while the edit field holds typed text.
int listIndex(const QComboBox *list)
{
    return list->property(kTypedProperty).toBool() ? -1 : list->currentIndex();
}

} // namespace

frmXmitFormats::frmXmitFormats(InstrumentSettings &settings, QWidget *parent)
    : QDialog(parent)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("frmXmitFormats"));
    setWindowTitle(QStringLiteral("Transmission Formats"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(platform::dialogFont());
    const QRect client = platform::fromTwips(0, 0, kClientWidthTwips, kClientHeightTwips);
    setFixedSize(client.size());

    cmbTokenSep = makeFormatList(this, "cmbTokenSep");
    lblTokenSep = platform::makeBuddyLabel(this, "lblTokenSep", QStringLiteral("Token Separator:"), cmbTokenSep);
    placeInTwips(lblTokenSep, 120, 165, 1395, 255);
    placeInTwips(cmbTokenSep, 1560, 120, 1695, 315);

    cmbLineTerm = makeFormatList(this, "cmbLineTerm");
    lblLineTerm = platform::makeBuddyLabel(this, "lblLineTerm", QStringLiteral("Line Terminator:"), cmbLineTerm);
    placeInTwips(lblLineTerm, 120, 525, 1395, 255);
    placeInTwips(cmbLineTerm, 1560, 480, 1695, 315);

    btnOK = platform::makeControl<QPushButton>(this, "btnOK", QStringLiteral("OK"));
    btnOK->setDefault(true);
    placeInTwips(btnOK, 3420, 120, 1095, 315);
    btnCancel = platform::makeControl<QPushButton>(this, "btnCancel", QStringLiteral("Cancel"));
    placeInTwips(btnCancel, 3420, 480, 1095, 315);

    setTabOrder(cmbTokenSep, cmbLineTerm);
    setTabOrder(cmbLineTerm, btnOK);
    setTabOrder(btnOK, btnCancel);

    connect(btnOK, &QPushButton::clicked, this, &frmXmitFormats::btnOK_Click);
    connect(btnCancel, &QPushButton::clicked, this, &frmXmitFormats::btnCancel_Click);
    Form_Load();
}

void frmXmitFormats::Form_Load()
{
    FillFormatLists();
}

void frmXmitFormats::FillFormatLists()
{
    cmbTokenSep->clear();
    addFormat(cmbTokenSep, QStringLiteral("<Comma>"), CodeComma);
    addFormat(cmbTokenSep, QStringLiteral("<Tab>"), CodeTab);
    addFormat(cmbTokenSep, QStringLiteral("<Space>"), CodeSpace);
    cmbTokenSep->setCurrentIndex(0);
    cmbTokenSep->setProperty(kTypedProperty, false);

    cmbLineTerm->clear();
    addFormat(cmbLineTerm, QStringLiteral("<CR>"), CodeCR);
    addFormat(cmbLineTerm, QStringLiteral("<LF>"), CodeLF);
    addFormat(cmbLineTerm, QStringLiteral("<CR><LF>"), CodeCRLF);
    cmbLineTerm->setCurrentIndex(0);
    cmbLineTerm->setProperty(kTypedProperty, false);
}

void frmXmitFormats::ApplyFormats()
{
    if (listIndex(cmbTokenSep) < 0) {
        m_settings.setTokenSep(SettingChoices::tokenSeparatorFromText(cmbTokenSep->currentText()));
    } else {
        switch (cmbTokenSep->currentData().toInt()) {
        case CodeSpace: m_settings.setTokenSep(QStringLiteral(" ")); break;
        case CodeComma: m_settings.setTokenSep(QStringLiteral(",")); break;
        case CodeTab: m_settings.setTokenSep(QStringLiteral("\t")); break;
        default: break;
        }
    }

    if (listIndex(cmbLineTerm) < 0) {
        if (const std::optional<QString> typed = SettingChoices::lineTerminatorFromText(cmbLineTerm->currentText()))
            m_settings.setLineTerm(*typed);
    } else {
        switch (cmbLineTerm->currentData().toInt()) {
        case CodeCRLF: m_settings.setLineTerm(QStringLiteral("\r\n")); break;
        case CodeCR: m_settings.setLineTerm(QStringLiteral("\r")); break;
        case CodeLF: m_settings.setLineTerm(QStringLiteral("\n")); break;
        default: break;
        }
    }
}

void frmXmitFormats::btnOK_Click()
{
    ApplyFormats();
    hide();
}

void frmXmitFormats::btnCancel_Click()
{
    hide();
}

void frmXmitFormats::reject()
{
    btnCancel_Click();
}
