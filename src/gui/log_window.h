#pragma once

#include <QWidget>

class QButtonGroup;
class QPushButton;

namespace tavrix {

class ByteTextEdit;
class Logger;
class OperatorDialogs;

// The log window: the text area txtLog that holds the log text, the four level options and
// the buttons "Clear Log", "Save To File" and "Show Routes". Closing it destroys it and the
// text with it.
class frmLog final : public QWidget
{
    Q_OBJECT

public:
    // The load step runs here: the window is centred and the option of the logger's level is
    // selected, which stores that level back.
    frmLog(Logger& log, OperatorDialogs& dialogs, QWidget* parent = nullptr);

    ByteTextEdit& txtLog() { return *m_txtLog; }
    // Selects the option of the logger's level, after it was changed elsewhere (SIGHUP).
    void showLogLevel();

signals:
    // "Show Routes" was clicked.
    void showRoutesRequested();
    // The window was closed and is about to be destroyed; its text is gone.
    void closed();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void opLogLvl_Click(int index);
    void cmdClear_Click();
    void cmdSave_Click();
    // Writes the log text to a new file; false after telling the operator why it failed.
    bool writeLog(const QString& fileName);
    void layOutStrip();
    void layOutText();

    Logger& m_log;
    OperatorDialogs& m_dialogs;
    ByteTextEdit* m_txtLog;
    QPushButton* m_cmdClear;
    QButtonGroup* m_opLogLvl;
    QPushButton* m_cmdSave;
    QPushButton* m_cmdShowRoutes;
};

} // namespace tavrix
