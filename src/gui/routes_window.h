#pragma once

#include <QWidget>

#include <string_view>

namespace tavrix {

class ByteTextEdit;

// The routes window: the listing of the route table as it stood when the window was
// created, in txtRoutes. The operator may edit the shown text; nothing reads it back.
class frmRoutes final : public QWidget
{
    Q_OBJECT

public:
    // listing: "user linked to contact" CR LF per route, in slot order.
    explicit frmRoutes(std::string_view listing, QWidget* parent = nullptr);

    ByteTextEdit& txtRoutes() { return *m_txtRoutes; }

private:
    ByteTextEdit* m_txtRoutes;
};

} // namespace tavrix
