#include "gui/log_window.h"

#include "core/log/logger.h"
#include "gui/byte_text_edit.h"
#include "gui/form_helpers.h"
#include "gui/operator_dialogs.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QFile>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>

namespace tavrix {

namespace {

constexpr int kTextTop = Twips(480);

struct LevelOption
{
    int index;
    const char* caption;
    QRect geometry;
};

// In tab order; the index is the level the option selects. Each option reaches to the left
// edge of the control after it, so that captions in a font wider than the designed one fit.
constexpr LevelOption kLevelOptions[] = {
    {1, "Errors", TwipsRect(60, 180, 1080, 195)},
    {3, "Debug", TwipsRect(2400, 180, 1140, 195)},
    {4, "Verbose Debug", TwipsRect(3540, 180, 1620, 195)},
    {2, "Information", TwipsRect(1140, 180, 1260, 195)},
};

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, QRect geometry)
{
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    return button;
}

} // namespace

frmLog::frmLog(Logger& log, OperatorDialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window), m_log(log), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmLog"));
    setWindowTitle(QStringLiteral("Log Window"));
    setAttribute(Qt::WA_DeleteOnClose);
    QFont small = font();
    small.setPointSize(8);
    setFont(small);

    m_txtLog = new ByteTextEdit(this);
    m_txtLog->setObjectName(QStringLiteral("txtLog"));
    m_txtLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_cmdClear = MakeButton(this, "cmdClear", "Clear Log", TwipsRect(5160, 60, 975, 375));
    m_opLogLvl = new QButtonGroup(this);
    m_opLogLvl->setObjectName(QStringLiteral("opLogLvl"));
    for (const LevelOption& option : kLevelOptions) {
        auto* button = new QRadioButton(QString::fromLatin1(option.caption), this);
        button->setObjectName(QStringLiteral("opLogLvl(%1)").arg(option.index));
        button->setGeometry(option.geometry);
        m_opLogLvl->addButton(button, option.index);
    }
    m_cmdSave = MakeButton(this, "cmdSave", "Save To File", TwipsRect(6240, 60, 1035, 375));
    m_cmdShowRoutes =
        MakeButton(this, "cmdShowRoutes", "Show Routes", TwipsRect(7380, 60, 1155, 375));

    QWidget* previous = m_txtLog;
    const std::initializer_list<QWidget*> tabOrder = {m_cmdClear,
                                                      m_opLogLvl->button(1),
                                                      m_opLogLvl->button(3),
                                                      m_opLogLvl->button(4),
                                                      m_opLogLvl->button(2),
                                                      m_cmdSave,
                                                      m_cmdShowRoutes};
    for (QWidget* next : tabOrder) {
        setTabOrder(previous, next);
        previous = next;
    }

    connect(m_opLogLvl, &QButtonGroup::idToggled, this, [this](int index, bool checked) {
        if (checked) {
            opLogLvl_Click(index);
        }
    });
    connect(m_cmdClear, &QPushButton::clicked, this, &frmLog::cmdClear_Click);
    connect(m_cmdSave, &QPushButton::clicked, this, &frmLog::cmdSave_Click);
    connect(m_cmdShowRoutes, &QPushButton::clicked, this, &frmLog::showRoutesRequested);

    resize(Twips(8640), Twips(6060));
    layOutStrip();
    layOutText();
    CenterForm(*this);
    showLogLevel();
}

void frmLog::showLogLevel()
{
    if (QAbstractButton* selected = m_opLogLvl->button(m_log.LogLevel())) {
        selected->setChecked(true);
    }
}

void frmLog::opLogLvl_Click(int index)
{
    m_log.SetLogLevel(static_cast<std::int16_t>(index));
}

void frmLog::cmdClear_Click()
{
    m_txtLog->clearBytes();
}

void frmLog::cmdSave_Click()
{
    const QString fileName = m_dialogs.saveFileName(this);
    if (fileName.isEmpty()) {
        return;
    }
    if (FileExists(fileName)) {
        if (!m_dialogs.confirmReplace(this)) {
            return;
        }
        QFile old(fileName);
        if (!old.remove()) {
            m_dialogs.warn(
                this, QStringLiteral("Save Log"),
                QStringLiteral("Cannot replace %1: %2").arg(fileName, old.errorString()));
            return;
        }
    }
    if (writeLog(fileName)) {
        m_dialogs.logSaved(this);
    }
}

bool frmLog::writeLog(const QString& fileName)
{
    QFile file(fileName);
    const QByteArray text = m_txtLog->bytes();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush()) {
        m_dialogs.warn(
            this, QStringLiteral("Save Log"),
            QStringLiteral("Cannot write the log to %1: %2").arg(fileName, file.errorString()));
        return false;
    }
    return true;
}

void frmLog::layOutStrip()
{
    // Left to right, each control at its designed place unless the one before it needs the
    // room: an option's caption in a font wider than the designed one pushes what follows to
    // the right by what it lacks, never more.
    QWidget* const strip[] = {m_opLogLvl->button(1),
                              m_opLogLvl->button(2),
                              m_opLogLvl->button(3),
                              m_opLogLvl->button(4),
                              m_cmdClear,
                              m_cmdSave,
                              m_cmdShowRoutes};
    int right = 0;
    for (QWidget* control : strip) {
        QRect geometry = control->geometry();
        geometry.moveLeft(std::max(geometry.left(), right));
        if (qobject_cast<QRadioButton*>(control) != nullptr) {
            geometry.setWidth(std::max(geometry.width(), control->sizeHint().width()));
        }
        control->setGeometry(geometry);
        right = geometry.right() + 1;
    }
}

void frmLog::layOutText()
{
    // A window lower than the buttons' strip leaves the text area empty, never negative.
    m_txtLog->setGeometry(0, kTextTop, width(), std::max(0, height() - kTextTop));
}

void frmLog::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if ((windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) == 0) {
        layOutText();
    }
}

void frmLog::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    if (event->isAccepted()) {
        emit closed();
    }
}

} // namespace tavrix
