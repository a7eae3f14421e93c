// Member salvage: finds the members of a damaged zip container by their local header signatures,
// without its index, and recovers each into the workspace folder: stored members by copying their
// bytes, deflated ones through a one-entry scratch archive with a rebuilt index that the zip
// reader decodes.
//
// Usage:
//   std::vector<int64_t> headers, descriptors;
//   std::vector<MemberRecord> members;
//   ExtractMembers(source_file, RepairWorkspace::Current(), &headers, &descriptors, &members);
#ifndef VELLOMIR_SALVAGE_SALVAGE_H_
#define VELLOMIR_SALVAGE_SALVAGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine/workspace.h"
#include "platform/platform.h"
#include "salvage/part_completion.h"

namespace vellomir {

// The fixed part of a local file header, as read from the source (every field may be damaged).
struct LocalHeaderInfo {
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dos_time = 0;
  uint16_t dos_date = 0;
  uint32_t crc32 = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
};

// What the salvage found out about one local header, for the repair report.
struct MemberRecord {
  enum class Outcome {
    kWhole,         // written, and (where a CRC-32 was known) it matches
    kCrcMismatch,   // written to its end, but its CRC-32 differs from the recorded one
    kPartial,       // written, but cut short: the stream or the copy ended early
    kPassedOver,    // the header was not tried (too close to the end, name too long)
    kInsideMember,  // not tried: it lies inside the data of a member that came out whole with
                    // its CRC-32 confirmed, so it is a byte pattern of that data, not a header
    kUnreadable,    // the header or the name could not be read
    kRefused,       // the reader refused the member's scratch archive, or decoding failed
    kNotWritten,    // the member's file could not be created or written
    kSuperseded,    // a later member of the same name replaced it
    kFolder,        // a folder entry (its name ends in a separator): its folder was made
  };
  // How the end of the member's data was found.
  enum class EndEvidence { kHeaderSizes, kOwnDescriptor, kNextSignature, kEndOfSource };

  int64_t header_offset = 0;
  std::u16string name;            // as the header gives it
  std::u16string workspace_name;  // the file's path below the workspace ("" when none)
  LocalHeaderInfo header;
  Outcome outcome = Outcome::kUnreadable;
  EndEvidence end = EndEvidence::kEndOfSource;
  uint64_t data_offset = 0;
  uint64_t compressed_size = 0;  // bytes of data taken from the source
  uint64_t written_size = 0;     // bytes written to the member's file
  bool crc_known = false;
  uint32_t expected_crc = 0;
  uint32_t actual_crc = 0;
};

// What a salvage gave, in numbers; kept also when no records are.
struct SalvageSummary {
  uint64_t written = 0;          // members written to the workspace, whole or not
  uint64_t confirmed_whole = 0;  // of them, those that came out whole with a matching CRC-32
  uint64_t unrecorded = 0;       // headers that gave nothing and have no record of their own
};

// Scans `source` for signatures and recovers every member into `workspace.folder`, in the order
// of their headers. Fills the ascending lists of local header and data descriptor offsets and, when
// `members` is given, one record per local header. Of the headers that gave nothing (passed over,
// unreadable, refused) only the first kMaxRecordsOfNothing are recorded, so that a source made of
// millions of false headers costs no more than its offset lists; the summary counts the rest.
// Never fails: what cannot be read is missing from the workspace.
inline constexpr size_t kMaxRecordsOfNothing = 10000;
void ExtractMembers(platform::File& source, const RepairWorkspace& workspace,
                    std::vector<int64_t>* local_header_offsets,
                    std::vector<int64_t>* descriptor_offsets, std::vector<MemberRecord>* members,
                    SalvageSummary* summary = nullptr);

// The path below the workspace folder for a member name: "/" and "\" both separate folders; empty
// components, ".", "..", a leading separator and a drive prefix ("C:") are dropped, so the result
// never leaves the workspace. a/../../x.txt gives a/x.txt. Empty when nothing is left (the name
// named only folders).
platform::Path WorkspaceNameOf(std::u16string_view member_name);

}  // namespace vellomir

#endif  // VELLOMIR_SALVAGE_SALVAGE_H_
