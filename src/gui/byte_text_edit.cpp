#include "gui/byte_text_edit.h"

#include <QEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

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

ByteTextEdit::ByteTextEdit(QWidget* parent) : QPlainTextEdit(parent), m_flushTimer(new QTimer(this))
{
    // Every write would otherwise stay on the undo stack for as long as the window lives.
    setUndoRedoEnabled(false);
    m_flushTimer->setSingleShot(true);
    m_flushTimer->setInterval(kFlushMs);
    connect(m_flushTimer, &QTimer::timeout, this, &ByteTextEdit::flush);
}

std::size_t ByteTextEdit::documentLength() const
{
    // characterCount() includes the closing paragraph separator, which is not text.
    const QTextDocument* doc = document();
    return static_cast<std::size_t>(doc->characterCount() - 1 + doc->blockCount() - 1);
}

std::size_t ByteTextEdit::byteLength() const
{
    return documentLength() - m_pendingRemove + m_pendingAppend.size();
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
    out.remove(0, static_cast<qsizetype>(m_pendingRemove));
    out.append(m_pendingAppend.data(), static_cast<qsizetype>(m_pendingAppend.size()));
    return out;
}

void ByteTextEdit::appendBytes(std::string_view bytes)
{
    m_pendingAppend.append(bytes);
    scheduleFlush();
}

void ByteTextEdit::removeFrontBytes(std::size_t count)
{
    const std::size_t fromDocument = std::min(count, documentLength() - m_pendingRemove);
    m_pendingRemove += fromDocument;
    m_pendingAppend.erase(0, std::min(count - fromDocument, m_pendingAppend.size()));
    scheduleFlush();
}

void ByteTextEdit::clearBytes()
{
    m_pendingAppend.clear();
    m_pendingRemove = 0;
    clear();
}

void ByteTextEdit::scheduleFlush()
{
    // A hidden area is brought up to date when it is shown.
    if (isVisible() && !m_flushTimer->isActive()) {
        m_flushTimer->start();
    }
}

void ByteTextEdit::flush()
{
    m_flushTimer->stop();
    if (m_pendingRemove > 0) {
        removeFromDocument(m_pendingRemove);
        m_pendingRemove = 0;
    }
    if (!m_pendingAppend.empty()) {
        appendToDocument(m_pendingAppend);
        m_pendingAppend.clear();
    }
}

bool ByteTextEdit::event(QEvent* event)
{
    // The operator works on the text as it is: everything collected goes in first.
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::Drop:
    case QEvent::ContextMenu:
        flush();
        break;
    default:
        break;
    }
    return QPlainTextEdit::event(event);
}

void ByteTextEdit::insertFromMimeData(const QMimeData* source)
{
    flush();
    QPlainTextEdit::insertFromMimeData(source);
}

void ByteTextEdit::appendToDocument(std::string_view bytes)
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
    flush();
    ensureCursorVisible();
}

void ByteTextEdit::removeFromDocument(std::size_t count)
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
