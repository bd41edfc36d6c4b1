#pragma once

#include <QByteArray>
#include <QPlainTextEdit>
#include <QString>

#include <cstddef>
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
class ByteTextEdit : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit ByteTextEdit(QWidget* parent = nullptr);

    // Length of the byte text; a paragraph break counts two (CR LF). Constant time.
    std::size_t byteLength() const;
    // The whole byte text.
    QByteArray bytes() const;
    // Appends at the end and puts the caret after the new text.
    void appendBytes(std::string_view bytes);
    // Removes the first count bytes; more than byteLength() empties the text. A cut between
    // the CR and the LF of a line end leaves the LF as a line break at the start.
    void removeFrontBytes(std::size_t count);

protected:
    // Shows the caret's line, which a text filled while hidden has not scrolled to.
    void showEvent(QShowEvent* event) override;

private:
    bool m_scrollPending = false;
};

} // namespace tavrix
