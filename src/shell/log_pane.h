// The log pane: the read-only text control in which a repair run reports each step. It keeps the
// log's exact text (CR LF after every line) and shows it line by line; the person can select and
// copy but not type.
#ifndef VELLOMIR_SHELL_LOG_PANE_H_
#define VELLOMIR_SHELL_LOG_PANE_H_

#include <QPlainTextEdit>

#include "engine/repair_engine.h"

namespace vellomir {

// Called on the user-interface thread only; the main view carries the run's calls over to it.
class CRepairLogPane : public QPlainTextEdit, public RepairLog {
  Q_OBJECT

 public:
  explicit CRepairLogPane(QWidget* parent = nullptr);

  std::u16string Text() override { return m_text; }
  // A text that continues the current one is added at the end, so the view does not jump; any
  // other text replaces the whole display.
  void SetText(const std::u16string& text) override;
  void Append(std::u16string_view text) override;
  // Posted, so the caller goes on at once; the pane scrolls when it next handles its events.
  void RequestScrollToBottom() override;

 signals:
  // The text has changed (after SetText or Append).
  void LogChanged();

 private:
  void ShowAtEnd(std::u16string_view text);

  std::u16string m_text;
};

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_LOG_PANE_H_
