#include "cli/repair_report.h"

#include <cstdio>
#include <map>

namespace vellomir::cli {
namespace {

// Writes indented JSON: objects and arrays opened and closed in order, members by key.
class JsonWriter {
 public:
  void BeginObject(const char* key = nullptr) { Open(key, '{'); }
  void EndObject() { Close('}'); }
  void BeginArray(const char* key = nullptr) { Open(key, '['); }
  void EndArray() { Close(']'); }
  void String(const char* key, std::u16string_view value) {
    Key(key);
    Quoted(platform::ToUtf8ForDisplay(value));
  }
  void String(const char* key, std::string_view value) {
    Key(key);
    Quoted(value);
  }
  void Number(const char* key, int64_t value) {
    Key(key);
    text_ += std::to_string(value);
  }
  void Bool(const char* key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
  }
  void Null(const char* key) {
    Key(key);
    text_ += "null";
  }
  std::string Finish() { return text_ + "\n"; }

 private:
  void Open(const char* key, char bracket) {
    Key(key);
    text_ += bracket;
    first_.push_back(true);
  }
  void Close(char bracket) {
    const bool empty = first_.back();
    first_.pop_back();
    if (!empty) NewLine();
    text_ += bracket;
  }
  void Key(const char* key) {
    if (!first_.empty()) {
      if (!first_.back()) text_ += ',';
      first_.back() = false;
      NewLine();
    }
    if (key != nullptr) {
      Quoted(key);
      text_ += ": ";
    }
  }
  void NewLine() {
    text_ += '\n';
    text_.append(2 * first_.size(), ' ');
  }
  void Quoted(std::string_view value) {
    text_ += '"';
    for (const char c : value) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        text_ += '\\';
        text_ += c;
      } else if (byte < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
        text_ += escaped;
      } else {
        text_ += c;
      }
    }
    text_ += '"';
  }

  std::string text_;
  std::vector<bool> first_;  // per open object or array: nothing written in it yet
};

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

std::u16string WithSlashes(std::u16string name) {
  for (char16_t& c : name) {
    if (c == platform::kSeparator) c = u'/';
  }
  return name;
}

const char* DocumentStatus(const FileOutcome& outcome) {
  if (!outcome.existed) return "gone";
  if (!outcome.opened) return "not opened";
  if (!outcome.packed) return "not packed";
  if (!outcome.saved) return "not saved";
  return "repaired";
}

const char* EndEvidence(MemberRecord::EndEvidence end) {
  switch (end) {
    case MemberRecord::EndEvidence::kHeaderSizes:
      return "header sizes";
    case MemberRecord::EndEvidence::kOwnDescriptor:
      return "own descriptor";
    case MemberRecord::EndEvidence::kNextSignature:
      return "next signature";
    case MemberRecord::EndEvidence::kEndOfSource:
      return "end of source";
  }
  return "";
}

// The member's status and, for one that is missing, why.
std::pair<const char*, const char*> StatusOf(const MemberRecord& member) {
  using Outcome = MemberRecord::Outcome;
  switch (member.outcome) {
    case Outcome::kWhole:
      return {"whole", nullptr};
    case Outcome::kCrcMismatch:
      return {"damaged", nullptr};
    case Outcome::kPartial:
      return {"partial", nullptr};
    case Outcome::kFolder:
      return {"folder", nullptr};
    case Outcome::kSuperseded:
      return {"superseded", nullptr};
    case Outcome::kPassedOver:
      return {"missing", member.header.name_length > 260 ? "passed over: name longer than 260 bytes"
                                                         : "passed over: too close to the end"};
    case Outcome::kInsideMember:
      return {"missing", "passed over: inside another member's data"};
    case Outcome::kUnreadable:
      return {"missing", "unreadable header"};
    case Outcome::kRefused:
      return {"missing", "refused by the reader"};
    case Outcome::kNotWritten:
      return {"missing", "not written"};
  }
  return {"missing", nullptr};
}

bool WasRead(const MemberRecord& member) {
  using Outcome = MemberRecord::Outcome;
  return member.outcome != Outcome::kPassedOver && member.outcome != Outcome::kInsideMember &&
         member.outcome != Outcome::kUnreadable && member.outcome != Outcome::kFolder;
}

void WriteCrc(JsonWriter& json, const MemberRecord& member) {
  json.BeginObject("crc32");
  if (member.crc_known) {
    json.String("expected", Hex(member.expected_crc));
  } else {
    json.Null("expected");
  }
  json.String("actual", Hex(member.actual_crc));
  if (member.crc_known) {
    json.Bool("match", member.expected_crc == member.actual_crc);
  } else {
    json.Null("match");
  }
  json.EndObject();
}

void WriteCompletion(JsonWriter& json, const CompletedPart& part) {
  json.Number("bytes_kept", static_cast<int64_t>(part.bytes_kept));
  json.Number("bytes_dropped", static_cast<int64_t>(part.bytes_dropped));
  if (part.rows_kept >= 0) json.Number("rows_kept", part.rows_kept);
}

const char* CompletionStatus(CompletedPart::Action action) {
  switch (action) {
    case CompletedPart::Action::kCompleted:
      return "completed";
    case CompletedPart::Action::kRebuilt:
      return "rebuilt";
    case CompletedPart::Action::kRemoved:
      return "removed";
    case CompletedPart::Action::kLeftDamaged:
      return nullptr;
  }
  return nullptr;
}

void WriteMember(JsonWriter& json, const MemberRecord& member, const CompletedPart* part) {
  json.BeginObject();
  json.String("name", member.name);
  json.Number("offset", member.header_offset);
  auto [status, reason] = StatusOf(member);
  if (part != nullptr && CompletionStatus(part->action) != nullptr) {
    status = CompletionStatus(part->action);
  }
  json.String("status", status);
  if (reason != nullptr) json.String("reason", reason);
  if (WasRead(member)) {
    if (member.header.method == 0 || member.header.method == 8) {
      json.String("method", member.header.method == 0 ? "stored" : "deflated");
    } else {
      json.Number("method", member.header.method);
    }
    json.String("end", EndEvidence(member.end));
    json.Number("compressed_size", static_cast<int64_t>(member.compressed_size));
    json.Number("size", static_cast<int64_t>(member.written_size));
    WriteCrc(json, member);
  }
  if (part != nullptr) {
    if (part->action == CompletedPart::Action::kLeftDamaged) {
      json.String("note", "not well-formed, and left as it was");
    } else {
      WriteCompletion(json, *part);
    }
  }
  json.EndObject();
}

void WriteDocument(JsonWriter& json, const ReportedDocument& document) {
  const FileOutcome& outcome = document.outcome;
  json.BeginObject();
  json.String("source", document.source);
  json.String("status", DocumentStatus(outcome));
  if (outcome.saved) {
    json.String("result", outcome.result_path);
  } else {
    json.Null("result");
  }
  json.Bool("odf_package", outcome.completion.odf_package);
  if (outcome.salvage.unrecorded > 0) {
    // Past the first few thousand, headers that gave nothing are only counted.
    json.Number("headers_not_listed", static_cast<int64_t>(outcome.salvage.unrecorded));
  }

  // A completed part belongs to the member that wrote its file: the last one of its name.
  std::map<std::u16string, const CompletedPart*> parts;
  for (const CompletedPart& part : outcome.completion.parts) parts[part.name] = &part;
  std::map<std::u16string, size_t> last_writer;
  for (size_t i = 0; i < outcome.members.size(); ++i) {
    const MemberRecord& member = outcome.members[i];
    if (member.outcome == MemberRecord::Outcome::kWhole ||
        member.outcome == MemberRecord::Outcome::kPartial ||
        member.outcome == MemberRecord::Outcome::kCrcMismatch) {
      last_writer[WithSlashes(member.workspace_name)] = i;
    }
  }
  json.BeginArray("members");
  for (size_t i = 0; i < outcome.members.size(); ++i) {
    const MemberRecord& member = outcome.members[i];
    const std::u16string name = WithSlashes(member.workspace_name);
    const auto writer = last_writer.find(name);
    const CompletedPart* part = nullptr;
    if (writer != last_writer.end() && writer->second == i) {
      const auto it = parts.find(name);
      if (it != parts.end()) {
        part = it->second;
        parts.erase(it);
      }
    }
    WriteMember(json, member, part);
  }
  // Parts that no member wrote: a manifest or mimetype that was lost and rebuilt.
  for (const auto& [name, part] : parts) {
    json.BeginObject();
    json.String("name", name);
    json.String("status", CompletionStatus(part->action) != nullptr ? CompletionStatus(part->action)
                                                                    : "damaged");
    WriteCompletion(json, *part);
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
}

}  // namespace

std::string RepairReportJson(const std::vector<ReportedDocument>& documents) {
  JsonWriter json;
  json.BeginObject();
  json.String("tool", std::string("vellomir-repair ") + VELLOMIR_DISPLAY_VERSION);
  json.BeginArray("documents");
  for (const ReportedDocument& document : documents) WriteDocument(json, document);
  json.EndArray();
  json.EndObject();
  return json.Finish();
}

}  // namespace vellomir::cli
