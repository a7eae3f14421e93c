#include "shell/log_pane.h"

#include <QScrollBar>
#include <QTextCursor>

#include "shell/shell_texts.h"
#include "shell/ui_seam.h"

namespace vellomir {

CRepairLogPane::CRepairLogPane(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFrameShape(QFrame::StyledPanel);
  // The whole log of one run stays; the display has no block limit.
  setMaximumBlockCount(0);
}

void CRepairLogPane::SetText(const std::u16string& text) {
  if (text.size() >= m_text.size() && text.compare(0, m_text.size(), m_text) == 0) {
    const std::u16string_view added = std::u16string_view(text).substr(m_text.size());
    m_text = text;
    ShowAtEnd(added);
  } else {
    m_text = text;
    setPlainText(DisplayLines(Q(m_text)));
  }
  emit LogChanged();
}

void CRepairLogPane::Append(std::u16string_view text) {
  m_text.append(text);
  ShowAtEnd(text);
  emit LogChanged();
}

void CRepairLogPane::ShowAtEnd(std::u16string_view text) {
  if (text.empty()) return;
  // A cursor of its own: the pane's cursor, its selection and its scroll position stay put.
  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  end.insertText(DisplayLines(Q(text)));
}

void CRepairLogPane::RequestScrollToBottom() {
  QMetaObject::invokeMethod(
      this, [this] { verticalScrollBar()->setValue(verticalScrollBar()->maximum()); },
      Qt::QueuedConnection);
}

}  // namespace vellomir
