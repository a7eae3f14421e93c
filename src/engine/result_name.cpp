// Result names: "REC_" + the source's file name, numbered in capitals when that name is taken.
#include <string>

#include "engine/decimal_text.h"
#include "engine/repair_engine.h"

namespace vellomir {
namespace {

using platform::Path;

constexpr std::u16string_view kOdsExtension = u".ODS";

Path ToUpperAscii(Path text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

std::u16string CounterText(int64_t n) {
  std::u16string text(1, u'(');
  text += DecimalText(n);
  text += u')';
  return text;
}

// Where the counter goes in a file name already in capitals: before its last ".ODS", else before
// its last ".", else at its end.
size_t CounterPosition(const Path& upper_name) {
  const size_t ods = upper_name.rfind(kOdsExtension);
  if (ods != Path::npos) return ods;
  const size_t dot = upper_name.rfind(u'.');
  return dot != Path::npos ? dot : upper_name.size();
}

}  // namespace

Path ResultCandidate(const Path& source, const Path& output_folder) {
  const size_t last = source.rfind(platform::kSeparator);
  const Path file_name = last == Path::npos ? source : source.substr(last + 1);
  return output_folder + u"REC_" + file_name;
}

Path MakeResultName(const Path& candidate) {
  if (!platform::Fs().Exists(candidate)) return candidate;
  // On a file system that tells letter case apart an upper-cased folder would be another folder:
  // only the file-name part is put in capitals and numbered.
  const size_t last = candidate.rfind(platform::kSeparator);
  const size_t name_start = last == Path::npos ? 0 : last + 1;
  const Path folder = candidate.substr(0, name_start);
  const Path upper_name = ToUpperAscii(candidate.substr(name_start));
  const size_t at = CounterPosition(upper_name);
  // Every n gives another name, so the search ends at the first free one.
  for (int64_t n = 1;; ++n) {
    Path numbered = folder + upper_name.substr(0, at) + CounterText(n) + upper_name.substr(at);
    if (!platform::Fs().Exists(numbered)) return numbered;
  }
}

}  // namespace vellomir
