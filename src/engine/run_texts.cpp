// The run's formatted texts: the progress line and the end-of-run texts with their bold words.
#include <string>

#include "engine/decimal_text.h"
#include "engine/repair_engine.h"

namespace vellomir {
namespace {

constexpr std::u16string_view kErrorStatusHead =
    u"File repair and saving process completed with errors: ";
constexpr std::u16string_view kErrorStatusTail =
    u" file(s) could not be repaired. Click Back to go back to main window for repairing more "
    u"file(s) or click Exit to quit the application.";
constexpr std::u16string_view kErrorMessageHead = u"The repairing process completed with errors: ";
constexpr std::u16string_view kErrorMessageTail = u" file(s) could not be repaired ";

std::u16string FailureCount(int failed, int count) {
  return DecimalText(failed) + u" of " + DecimalText(count);
}

}  // namespace

std::u16string ProgressLine(int number, int count) {
  return u"Processing File " + DecimalText(number) + u" of " + DecimalText(count) + u" \r\n";
}

std::u16string CompletionStatusText(int failed, int count) {
  if (failed <= 0) return std::u16string(kCompletionText);
  return std::u16string(kErrorStatusHead) + FailureCount(failed, count) +
         std::u16string(kErrorStatusTail);
}

std::vector<BoldRange> CompletionBoldRanges(int failed, int count) {
  const std::u16string text = CompletionStatusText(failed, count);
  std::vector<BoldRange> ranges;
  for (std::u16string_view phrase : {u"Click Back", u"click Exit"}) {
    const size_t at = text.find(phrase);
    if (at == std::u16string::npos) continue;
    const int first = static_cast<int>(at + 6);  // the word after "Click "
    ranges.push_back(BoldRange{first, first + 3});
  }
  return ranges;
}

std::u16string CompletionErrorMessage(int failed, int count) {
  return std::u16string(kErrorMessageHead) + FailureCount(failed, count) +
         std::u16string(kErrorMessageTail);
}

}  // namespace vellomir
