#include "cli/console_view.h"

namespace vellomir::cli {

ConsoleView::ConsoleView(std::vector<platform::Path> files, platform::Path output_folder,
                         RepairOptions options, std::FILE* out, std::FILE* exact_log)
    : files_(std::move(files)),
      output_folder_(std::move(output_folder)),
      options_(options),
      out_(out),
      exact_log_(exact_log) {
  log_.on_change = [this](std::u16string_view, bool) { LogChanged(); };
}

// Prints what the log gained since the last change. The run replaces the whole text when it
// writes a file's header, so the new part is what follows the text printed so far.
void ConsoleView::LogChanged() {
  const std::u16string text = log_.Text();
  if (text.size() < printed_) printed_ = 0;  // a new log
  const std::u16string_view added = std::u16string_view(text).substr(printed_);
  printed_ = text.size();
  if (exact_log_ != nullptr) {
    const std::string bytes = platform::ToUtf8ForDisplay(added);
    std::fwrite(bytes.data(), 1, bytes.size(), exact_log_);
    std::fflush(exact_log_);
  }
  std::u16string lines;
  lines.reserve(added.size());
  for (char16_t c : added) {
    if (c != u'\r') lines.push_back(c);
  }
  Print(lines);
}

void ConsoleView::Print(std::u16string_view text) {
  const std::string bytes = platform::ToUtf8ForDisplay(text);
  std::fwrite(bytes.data(), 1, bytes.size(), out_);
  std::fflush(out_);
}

void ConsoleView::ShowCompletionDialog(const platform::Path& output_folder, int failed, int count) {
  Print(status_text_ + u"\n");
  const std::u16string message =
      failed > 0 ? CompletionErrorMessage(failed, count) : std::u16string(kCompletionMessage);
  Print(message + u"\n" + output_folder + u"\n");
}

void ConsoleView::ShowMessage(const std::u16string& text) {
  Print(status_text_ + u"\n" + text + u"\n");
}

void ConsoleView::FileDone(int, const platform::Path&, const FileOutcome& outcome) {
  if (outcome.saved) ++repaired_;
}

}  // namespace vellomir::cli
