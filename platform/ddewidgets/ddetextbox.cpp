#include "ddetextbox.h"

#include <limits>

namespace platform {

DdeTextBox::DdeTextBox(QWidget *parent)
    : QLineEdit(parent)
{
    // An item's text arrives whole; a line edit would otherwise cut it at 32767 characters,
    // and a poke would send the cut text back.
    setMaxLength(std::numeric_limits<int>::max());
    connect(&m_client, &DdeClient::itemUpdated, this, &DdeTextBox::showItem);
    connect(&m_client, &DdeClient::LinkError, this, &DdeTextBox::LinkError);
}

void DdeTextBox::showItem(const QString &value)
{
    // Every write at the source counts, also one that repeats the text.
    if (text() == value)
        emit textChanged(value);
    else
        setText(value);
    emit itemUpdated(value);
}

} // namespace platform
