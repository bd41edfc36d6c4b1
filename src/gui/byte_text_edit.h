#pragma once

#include <QByteArray>
#include <QPlainTextEdit>
#include <QString>
#include <QTimer>

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrix {

// The document form of byte text: CR LF becomes a paragraph break, a lone LF a line break
// inside the paragraph, a lone CR the visible symbol U+240D; every other byte is the Latin-1
// character of that value.
QString ToDocumentText(std::string_view bytes);

// A plain text area that holds byte text (one character per byte, lines ending in CR LF) and
// edits it in place: appending touches only the end, removing only the start, so a long text
// is never rewritten whole. What the operator types belongs to the text; a character outside
// Latin-1 counts as one byte and is written as "?".
//
// Appends and cuts are collected and reach the document together, every kFlushMs while the
// area is shown, and before anything the operator does with it: laying out each line as it
// came would stall the program under heavy logging. The byte text itself is always current.
class ByteTextEdit : public QPlainTextEdit
{
    Q_OBJECT

public:
    static constexpr int kFlushMs = 50;

    explicit ByteTextEdit(QWidget* parent = nullptr);

    // Length of the byte text; a paragraph break counts two (CR LF). Constant time.
    std::size_t byteLength() const;
    // The whole byte text.
    QByteArray bytes() const;
    // Appends at the end; the caret follows once the text reaches the document.
    void appendBytes(std::string_view bytes);
    // Removes the first count bytes; more than byteLength() empties the text. A cut between
    // the CR and the LF of a line end leaves the LF as a line break at the start.
    void removeFrontBytes(std::size_t count);
    // Empties the text.
    void clearBytes();
    // Brings the collected appends and cuts into the document now.
    void flush();

protected:
    bool event(QEvent* event) override;
    // Shows the caret's line, which a text filled while hidden has not scrolled to.
    void showEvent(QShowEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    std::size_t documentLength() const;
    void appendToDocument(std::string_view bytes);
    void removeFromDocument(std::size_t count);
    void scheduleFlush();

    std::string m_pendingAppend;     // bytes after the document's text
    std::size_t m_pendingRemove = 0; // bytes still to go from the document's start
    QTimer* m_flushTimer;
    bool m_scrollPending = false;
};

} // namespace tavrix
