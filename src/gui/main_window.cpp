#include "gui/main_window.h"

#include "gui/form_helpers.h"
#include "gui/operator_dialogs.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

namespace tavrix {

namespace {

struct StatField
{
    const char* captionName;
    const char* caption;
    const char* valueName;
    int top;
};

// The captions are right-aligned against 1635 twips, the values start at 1800. A caption
// reaches to the window's left margin so that a font wider than the designed one fits.
constexpr int kCaptionLeft = 60;
constexpr int kCaptionRight = 1635;
constexpr int kValueLeft = 1800;
constexpr int kValueWidth = 1995;
constexpr int kLabelHeight = 195;

// Top to bottom.
constexpr StatField kFigures[] = {
    {"Label1", "Registrations:", "lblRegistrations", 120},
    {"Label2", "Calls Attempts:", "lblCallAttempts", 480},
    {"Label3", "Failed Calls:", "lblFailedCalls", 840},
    {"Label4", "Completed Calls:", "lblCompletedCalls", 1200},
    {"Label5", "Errors:", "lblErrors", 1560},
    {"Label6", "Last Route:", "lblLastRoute", 1920},
};

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int left)
{
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(TwipsRect(left, 2280, 1155, 375));
    return button;
}

void Show(QLabel* label, std::string_view text)
{
    label->setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

} // namespace

frmMain::frmMain(const ServerConfig& config, OperatorDialogs& dialogs, Clock& clock,
                 TimeFormat& time, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_dialogs(dialogs), m_console(dialogs, time), m_server(m_logOut, *this, clock, config, this)
{
    m_console.attach(m_server.proxy().Log(), m_server.proxy().Routes());
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tavrix " TAVRIX_VERSION));
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    setFixedSize(Twips(3915), Twips(2715));

    // Made in tab order: Command2, cmdShutdown, the captions, Command1, the values.
    m_command2 = MakeButton(this, "Command2", "Close Socket", 1380);
    QPushButton* cmdShutdown = MakeButton(this, "cmdShutdown", "Shutdown", 2640);
    for (const StatField& figure : kFigures) {
        auto* caption = new QLabel(QString::fromLatin1(figure.caption), this);
        caption->setObjectName(QString::fromLatin1(figure.captionName));
        caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        caption->setGeometry(
            TwipsRect(kCaptionLeft, figure.top, kCaptionRight - kCaptionLeft, kLabelHeight));
    }
    QPushButton* command1 = MakeButton(this, "Command1", "Log Window", 120);
    QLabel** values[] = {&m_lblRegistrations,  &m_lblCallAttempts, &m_lblFailedCalls,
                         &m_lblCompletedCalls, &m_lblErrors,       &m_lblLastRoute};
    for (std::size_t i = 0; i < std::size(kFigures); ++i) {
        auto* value = new QLabel(QStringLiteral("0"), this);
        value->setObjectName(QString::fromLatin1(kFigures[i].valueName));
        value->setGeometry(TwipsRect(kValueLeft, kFigures[i].top, kValueWidth, kLabelHeight));
        *values[i] = value;
    }
    setTabOrder(m_command2, cmdShutdown);
    setTabOrder(cmdShutdown, command1);

    connect(command1, &QPushButton::clicked, this, &frmMain::Command1_Click);
    connect(m_command2, &QPushButton::clicked, this, &frmMain::Command2_Click);
    connect(cmdShutdown, &QPushButton::clicked, this, &frmMain::cmdShutdown_Click);

    if (!openSocket()) {
        m_command2->setText(QStringLiteral("Open Socket"));
    }
    CenterForm(*this);
}

frmMain::~frmMain()
{
    m_console.closeWindows();
}

bool frmMain::openSocket()
{
    if (m_server.openSocket()) {
        return true;
    }
    m_dialogs.warn(this, QCoreApplication::applicationName(),
                   QStringLiteral("Cannot bind UDP port %1: %2")
                       .arg(m_server.port())
                       .arg(m_server.lastError()));
    return false;
}

void frmMain::Command1_Click()
{
    m_console.showLogWindow();
}

void frmMain::Command2_Click()
{
    if (m_server.isOpen()) {
        m_server.closeSocket();
        m_command2->setText(QStringLiteral("Open Socket"));
    } else if (openSocket()) {
        m_command2->setText(QStringLiteral("Close Socket"));
    }
}

void frmMain::cmdShutdown_Click()
{
    m_shutDown = true;
    m_server.shutDown();
    m_console.hideWindows();
    hide();
    emit shutdownRequested();
}

void frmMain::closeEvent(QCloseEvent* event)
{
    if (!m_shutDown) {
        cmdShutdown_Click();
    }
    event->accept();
}

void frmMain::ShowCompletedCalls(std::string_view text)
{
    Show(m_lblCompletedCalls, text);
}

void frmMain::ShowLastRoute(std::string_view text)
{
    Show(m_lblLastRoute, text);
}

void frmMain::ShowErrors(std::string_view text)
{
    Show(m_lblErrors, text);
}

void frmMain::ShowFailedCalls(std::string_view text)
{
    Show(m_lblFailedCalls, text);
}

void frmMain::ShowCallAttempts(std::string_view text)
{
    Show(m_lblCallAttempts, text);
}

void frmMain::ShowRegistrations(std::string_view text)
{
    Show(m_lblRegistrations, text);
}

} // namespace tavrix
