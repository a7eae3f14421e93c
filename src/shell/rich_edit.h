// The status pane: a read-only rich-text control that shows one short text with some words in
// bold.
#ifndef VELLOMIR_SHELL_RICH_EDIT_H_
#define VELLOMIR_SHELL_RICH_EDIT_H_

#include <QTextEdit>

namespace vellomir {

class CRichEditCtrlQv : public QTextEdit {
  Q_OBJECT

 public:
  explicit CRichEditCtrlQv(QWidget* parent = nullptr);

  // Replaces the whole text; the new text is plain (nothing bold) and nothing is selected.
  void SetText(const QString& text);
  // Selects characters first..last (both included, counted from 0).
  void SelectCharacters(int first, int last);
  // A selection that is bold throughout becomes plain; any other selection (plain or mixed)
  // becomes bold.
  void ToggleSelectionBold();
  // Whether character `index` is shown in bold.
  bool IsCharacterBold(int index) const;

 protected:
  // The selection that marks the words to make bold is shown only while the person works in the
  // pane, as its text is otherwise an instruction, not a choice.
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void ShowSelection(bool shown);
};

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_RICH_EDIT_H_
