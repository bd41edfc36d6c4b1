#include "gui/routes_window.h"

#include "gui/byte_text_edit.h"
#include "gui/form_helpers.h"

namespace tavrix {

frmRoutes::frmRoutes(std::string_view listing, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmRoutes"));
    setWindowTitle(QStringLiteral("Valid Routes"));
    setAttribute(Qt::WA_DeleteOnClose);
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    setFixedSize(Twips(9045), Twips(2595));

    m_txtRoutes = new ByteTextEdit(this);
    m_txtRoutes->setObjectName(QStringLiteral("txtRoutes"));
    m_txtRoutes->setGeometry(TwipsRect(60, 60, 8895, 2415));
    // A long route table scrolls; the operator may size it into the thousands.
    m_txtRoutes->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_txtRoutes->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_txtRoutes->appendBytes(listing);
    // The listing opens at its first line.
    m_txtRoutes->moveCursor(QTextCursor::Start);
}

} // namespace tavrix
