#pragma once

#include <QString>

#include <memory>

class QFileDialog;
class QMessageBox;
class QWidget;

namespace tavrix {

// The modal questions and notices the windows put to the operator. The windows only reach
// them through this interface, so a test answers them in place of a person.
class OperatorDialogs
{
public:
    virtual ~OperatorDialogs() = default;
    // Asks where to save the log; an empty name when the operator cancels.
    virtual QString saveFileName(QWidget* parent) = 0;
    // "File exists! Replace?"; true for Yes.
    virtual bool confirmReplace(QWidget* parent) = 0;
    // Tells the operator that the log was saved.
    virtual void logSaved(QWidget* parent) = 0;
    // A failure the operator has to acknowledge.
    virtual void warn(QWidget* parent, const QString& title, const QString& text) = 0;
};

// The dialogs as message boxes and the file dialog of the platform.
class MessageBoxDialogs final : public OperatorDialogs
{
public:
    QString saveFileName(QWidget* parent) override;
    bool confirmReplace(QWidget* parent) override;
    void logSaved(QWidget* parent) override;
    void warn(QWidget* parent, const QString& title, const QString& text) override;
};

// The save dialog: "Save Log To File", one filter "Text Files (*.txt)", no overwrite prompt
// of its own and no extension added to a name typed without one.
std::unique_ptr<QFileDialog> MakeSaveLogDialog(QWidget* parent);
// "File exists! Replace?" titled "Save Log", question icon, Yes (the default) and No.
std::unique_ptr<QMessageBox> MakeReplaceQuestion(QWidget* parent);
// "Log Saved" titled with the application's name, OK only.
std::unique_ptr<QMessageBox> MakeSavedNotice(QWidget* parent);

} // namespace tavrix
