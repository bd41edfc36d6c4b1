#include "console/byte_text_edit.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace tavrix {

namespace {

constexpr char16_t kLoneCr = 0x240D; // SYMBOL FOR CARRIAGE RETURN

} // namespace

QString ToDocumentText(std::string_view bytes)
{
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            text.append(QChar::ParagraphSeparator);
            ++i;
        } else if (byte == '\n') {
            text.append(QChar::LineSeparator);
        } else if (byte == '\r') {
            text.append(QChar(kLoneCr));
        } else {
            text.append(QChar(byte));
        }
    }
    return text;
}

ByteTextEdit::ByteTextEdit(QWidget* parent) : QPlainTextEdit(parent)
{
    // Every write would otherwise stay on the undo stack for as long as the window lives.
    setUndoRedoEnabled(false);
}

std::size_t ByteTextEdit::byteLength() const
{
    // characterCount() includes the closing paragraph separator, which is not text.
    const QTextDocument* doc = document();
    return static_cast<std::size_t>(doc->characterCount() - 1 + doc->blockCount() - 1);
}

QByteArray ByteTextEdit::bytes() const
{
    const QString raw = document()->toRawText();
    QByteArray out;
    out.reserve(raw.size() + document()->blockCount());
    for (const QChar ch : raw) {
        if (ch == QChar::ParagraphSeparator) {
            out.append("\r\n");
        } else if (ch == QChar::LineSeparator) {
            out.append('\n');
        } else if (ch == QChar(kLoneCr)) {
            out.append('\r');
        } else if (ch.unicode() <= 0xFF) {
            out.append(static_cast<char>(ch.unicode()));
        } else {
            out.append('?');
        }
    }
    return out;
}

void ByteTextEdit::appendBytes(std::string_view bytes)
{
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    const bool caretAtEnd = textCursor().position() == cursor.position();
    cursor.insertText(ToDocumentText(bytes));
    // A caret at the end moves on with the insertion by itself; placing it anew costs as much
    // as the insertion, so it is done only when the operator has moved it.
    if (!caretAtEnd) {
        setTextCursor(cursor);
    }
    if (isVisible() && !m_scrollPending) {
        // Once per turn of the event loop, however many lines came in it.
        m_scrollPending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_scrollPending = false;
                ensureCursorVisible();
            },
            Qt::QueuedConnection);
    }
}

void ByteTextEdit::showEvent(QShowEvent* event)
{
    QPlainTextEdit::showEvent(event);
    ensureCursorVisible();
}

void ByteTextEdit::removeFrontBytes(std::size_t count)
{
    // Walks only the paragraphs that go, so the cost follows the removed part.
    int end = 0;
    bool splitsLineEnd = false;
    for (QTextBlock block = document()->begin(); block.isValid() && count > 0;
         block = block.next()) {
        const auto textLength = static_cast<std::size_t>(block.length() - 1);
        if (count <= textLength || !block.next().isValid()) {
            end += static_cast<int>(std::min(count, textLength));
            break;
        }
        end += block.length();
        if (count == textLength + 1) {
            splitsLineEnd = true;
            break;
        }
        count -= textLength + 2;
    }
    QTextCursor cursor(document());
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    if (splitsLineEnd) {
        cursor.insertText(QString(QChar::LineSeparator));
    }
}

} // namespace tavrix
