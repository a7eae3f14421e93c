// The log pane's default append and the in-memory log of the command line and the tests.
#include "engine/repair_engine.h"

namespace vellomir {

void RepairLog::Append(std::u16string_view text) {
  std::u16string whole = Text();
  whole.append(text);
  SetText(whole);
}

void TextRepairLog::SetText(const std::u16string& text) {
  text_ = text;
  if (on_change) on_change(text_, /*replaced=*/true);
}

void TextRepairLog::Append(std::u16string_view text) {
  text_.append(text);
  if (on_change) on_change(text, /*replaced=*/false);
}

}  // namespace vellomir
