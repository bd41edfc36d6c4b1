#pragma once

#include "console/operator_dialogs.h"

#include <QString>
#include <QStringList>

namespace tavrix::test {

// Answers the operator's dialogs from fields and records each one asked, in order.
class FakeDialogs final : public OperatorDialogs
{
public:
    QString fileName;    // what the save dialog yields; empty: cancelled
    bool replace = true; // the answer to "File exists! Replace?"
    QStringList asked;

    QString saveFileName(QWidget*) override
    {
        asked << QStringLiteral("save as");
        return fileName;
    }
    bool confirmReplace(QWidget*) override
    {
        asked << QStringLiteral("replace?");
        return replace;
    }
    void logSaved(QWidget*) override { asked << QStringLiteral("saved"); }
    void warn(QWidget*, const QString& title, const QString& text) override
    {
        asked << title + QStringLiteral(": ") + text;
    }
};

} // namespace tavrix::test
