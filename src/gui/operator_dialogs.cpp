#include "gui/operator_dialogs.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace tavrix {

std::unique_ptr<QFileDialog> MakeSaveLogDialog(QWidget* parent)
{
    auto dialog = std::make_unique<QFileDialog>(parent, QStringLiteral("Save Log To File"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("Text Files (*.txt)"));
    // The replace question is ours, asked after the dialog has closed.
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    return dialog;
}

std::unique_ptr<QMessageBox> MakeReplaceQuestion(QWidget* parent)
{
    auto box = std::make_unique<QMessageBox>(QMessageBox::Question, QStringLiteral("Save Log"),
                                             QStringLiteral("File exists! Replace?"),
                                             QMessageBox::Yes | QMessageBox::No, parent);
    box->setDefaultButton(QMessageBox::Yes);
    return box;
}

std::unique_ptr<QMessageBox> MakeSavedNotice(QWidget* parent)
{
    return std::make_unique<QMessageBox>(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                                         QStringLiteral("Log Saved"), QMessageBox::Ok, parent);
}

QString MessageBoxDialogs::saveFileName(QWidget* parent)
{
    const auto dialog = MakeSaveLogDialog(parent);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) {
        return {};
    }
    return dialog->selectedFiles().constFirst();
}

bool MessageBoxDialogs::confirmReplace(QWidget* parent)
{
    return MakeReplaceQuestion(parent)->exec() == QMessageBox::Yes;
}

void MessageBoxDialogs::logSaved(QWidget* parent)
{
    MakeSavedNotice(parent)->exec();
}

void MessageBoxDialogs::warn(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::warning(parent, title, text);
}

} // namespace tavrix
