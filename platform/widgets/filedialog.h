#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QWidget;

namespace platform {

// The common file dialog: set FileName, DialogTitle, Filter ("Text (*.txt)|*.txt|All (*.*)|*.*")
// and DefaultExt, then ShowOpen, or ShowSave for a file to write. A cancelled dialog raises
// RuntimeError 32755.
class CommonDialog
{
public:
    enum class Mode { Open, Save };

    QString FileName; // full path of the chosen file, or the proposal before showing
    QString DialogTitle;
    QString Filter;
    QString DefaultExt;
    bool MustExist = true; // false: a name that does not exist yet is accepted as typed

    // Shows the dialog and waits for the user; the chosen path lands in FileName.
    void ShowOpen(QWidget *parent = nullptr);
    // The same for a file to be written: the button reads Save, the name may be new, and the
    // dialog asks before an existing file is replaced.
    void ShowSave(QWidget *parent = nullptr);
    // The chosen file's name without its folder.
    QString FileTitle() const;

    // The request a chooser gets; tests replace the real dialog through setChooser().
    struct Request
    {
        QString title;
        QStringList nameFilters;
        QString proposal;
        QString defaultSuffix;
        bool mustExist = true;
        Mode mode = Mode::Open;
    };
    using Chooser = std::function<std::optional<QString>(const Request &request)>;
    static void setChooser(Chooser chooser);

    // "Text (*.txt)|*.txt|All (*.*)|*.*" as the dialog's name filters.
    static QStringList nameFilters(const QString &filter);

private:
    void show(QWidget *parent, Mode mode);
};

} // namespace platform
