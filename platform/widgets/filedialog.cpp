#include "filedialog.h"
#include "errors.h"

#include <QFileDialog>
#include <QFileInfo>

namespace platform {

namespace {

CommonDialog::Chooser &chooser()
{
    static CommonDialog::Chooser current;
    return current;
}

std::optional<QString> runFileDialog(QWidget *parent, const CommonDialog::Request &request)
{
    QFileDialog dialog(parent, request.title);
    const bool saving = request.mode == CommonDialog::Mode::Save;
    dialog.setAcceptMode(saving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.mustExist && !saving ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilters(request.nameFilters);
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (!request.proposal.isEmpty()) {
        const QFileInfo proposal(request.proposal);
        dialog.setDirectory(proposal.absolutePath());
        dialog.selectFile(proposal.fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

} // namespace

void CommonDialog::setChooser(Chooser newChooser)
{
    chooser() = std::move(newChooser);
}

QStringList CommonDialog::nameFilters(const QString &filter)
{
    // Entries alternate between the shown description and its pattern. The platform dialog
    // reads the patterns from the parentheses of the description; "*.*" means every file,
    // also those without an extension, which on this platform is "*".
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts.at(i);
        const qsizetype open = description.lastIndexOf(QLatin1Char('('));
        if (open > 0)
            description.truncate(open);
        QString pattern = parts.at(i + 1);
        pattern.replace(QStringLiteral("*.*"), QStringLiteral("*"));
        filters << QStringLiteral("%1 (%2)").arg(description.trimmed(), pattern);
    }
    return filters;
}

void CommonDialog::ShowOpen(QWidget *parent)
{
    show(parent, Mode::Open);
}

void CommonDialog::ShowSave(QWidget *parent)
{
    show(parent, Mode::Save);
}

void CommonDialog::show(QWidget *parent, Mode mode)
{
    const Request request{DialogTitle, nameFilters(Filter), FileName, DefaultExt, MustExist, mode};
    const std::optional<QString> chosen = chooser() ? chooser()(request) : runFileDialog(parent, request);
    if (!chosen)
        throw RuntimeError(ErrorNumber::DialogCancelled);
    FileName = *chosen;
}

QString CommonDialog::FileTitle() const
{
    return QFileInfo(FileName).fileName();
}

} // namespace platform
