#include "shell/rich_edit.h"

#include <QApplication>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

namespace vellomir {
namespace {

// The background of the status pane: the yellow of the window's artwork.
const QColor kStatusBackground(255, 218, 11);

}  // namespace

CRichEditCtrlQv::CRichEditCtrlQv(QWidget* parent) : QTextEdit(parent) {
  setReadOnly(true);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setAcceptRichText(false);
  QPalette colours = palette();
  colours.setColor(QPalette::Base, kStatusBackground);
  colours.setColor(QPalette::Window, kStatusBackground);
  colours.setColor(QPalette::Text, Qt::black);
  setPalette(colours);
  document()->setDocumentMargin(2);
  ShowSelection(false);
}

void CRichEditCtrlQv::ShowSelection(bool shown) {
  QPalette colours = palette();
  const QPalette normal = QApplication::palette(this);
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    colours.setColor(group, QPalette::Highlight,
                     shown ? normal.color(group, QPalette::Highlight) : kStatusBackground);
    colours.setColor(group, QPalette::HighlightedText,
                     shown ? normal.color(group, QPalette::HighlightedText) : QColor(Qt::black));
  }
  setPalette(colours);
}

void CRichEditCtrlQv::focusInEvent(QFocusEvent* event) {
  ShowSelection(true);
  QTextEdit::focusInEvent(event);
}

void CRichEditCtrlQv::focusOutEvent(QFocusEvent* event) {
  ShowSelection(false);
  QTextEdit::focusOutEvent(event);
}

void CRichEditCtrlQv::SetText(const QString& text) {
  // A fresh document, so that no bold of an earlier text carries over into the new one.
  setPlainText(QString());
  QTextCursor cursor(document());
  QTextCharFormat plain;
  plain.setFontWeight(QFont::Normal);
  cursor.setCharFormat(plain);
  cursor.insertText(text);
  setTextCursor(QTextCursor(document()));
}

void CRichEditCtrlQv::SelectCharacters(int first, int last) {
  QTextCursor cursor(document());
  cursor.setPosition(first);
  cursor.setPosition(last + 1, QTextCursor::KeepAnchor);
  setTextCursor(cursor);
}

bool CRichEditCtrlQv::IsCharacterBold(int index) const {
  QTextCursor cursor(document());
  cursor.setPosition(index);
  cursor.setPosition(index + 1, QTextCursor::KeepAnchor);
  // A selection's format is that of its last character, here the one character selected.
  return cursor.charFormat().fontWeight() >= QFont::Bold;
}

void CRichEditCtrlQv::ToggleSelectionBold() {
  QTextCursor cursor = textCursor();
  if (!cursor.hasSelection()) return;
  bool bold_throughout = true;
  for (int i = cursor.selectionStart(); i < cursor.selectionEnd() && bold_throughout; ++i) {
    bold_throughout = IsCharacterBold(i);
  }
  QTextCharFormat change;
  change.setFontWeight(bold_throughout ? QFont::Normal : QFont::Bold);
  cursor.mergeCharFormat(change);
}

}  // namespace vellomir
