// Completion of damaged parts: the step between salvaging the members of a damaged OpenDocument
// package into the workspace and packing them again.
//
// An office program refuses a whole document when one of its XML parts is cut short or damaged,
// and LibreOffice refuses a package whose manifest is missing or does not list every member. So
// in a workspace that holds an OpenDocument package, this step
// - cuts every XML part that is not well-formed (content.xml, styles.xml, meta.xml, settings.xml,
//   manifest.rdf, also those of embedded objects such as "Object 1/content.xml") at its last sound
//   element boundary and closes the elements still open there. In a spreadsheet's sheets the cut
//   falls after the last complete row (while a sheet has no complete row, after its last complete
//   cell), so every row before the damage stays and no half row is shown;
// - removes an XML part that broke off before its root element's start tag was whole: it holds
//   nothing to keep, and the document opens without it;
// - writes META-INF/manifest.xml afresh from the members present when it is missing or not a
//   well-formed manifest, and adds the entries a well-formed one lacks (members it does not list,
//   the "/" entry) without changing a byte of what it has. Entries for members that are absent
//   do not count as broken: office programs pass over them;
// - writes "mimetype" afresh when it is missing or holds no media type: from the manifest's "/"
//   entry, else from the extension of the document's name, else from the kind of its content.
// Parts that are well-formed, and every other member, are left byte for byte as they were. So is
// a part that cannot be checked: nested more than 10,000 elements deep, with more than 1 MiB of
// open element names or 10,000 namespace declarations in force, or with one piece of markup
// over 32 MiB (bounds that keep memory flat against a hostile part).
//
// Usage:
//   CompletionResult completion = CompleteDamagedParts(workspace.folder, source_path);
//   for (const CompletedPart& part : completion.parts) {
//     if (part.action == CompletedPart::Action::kCompleted) Log(u"Part completed : " + part.name);
//     if (part.action == CompletedPart::Action::kRebuilt) Log(u"Part rebuilt : " + part.name);
//   }
#ifndef VELLOMIR_SALVAGE_PART_COMPLETION_H_
#define VELLOMIR_SALVAGE_PART_COMPLETION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vellomir {

// What the step did to one member. bytes_kept + bytes_dropped is the member's size before.
struct CompletedPart {
  enum class Action {
    // An XML part that was not well-formed, cut at bytes_kept and closed; it is well-formed now.
    kCompleted,
    // META-INF/manifest.xml or mimetype written because it was missing or broken. bytes_kept is
    // what stays of the old one: all of a manifest that only lacked entries, else 0.
    kRebuilt,
    // An XML part removed from the workspace: not even its root element's start tag was whole.
    kRemoved,
    // Not well-formed and left as it was: it is written in an encoding other than UTF-8, it
    // declares entities, or its new version could not be written.
    kLeftDamaged,
  };

  std::u16string name;  // the member name, "/" between folders ("Object 1/content.xml")
  Action action = Action::kCompleted;
  uint64_t bytes_kept = 0;
  uint64_t bytes_dropped = 0;
  // For a completed content part of a spreadsheet: the complete table rows (row elements; a
  // repeated row counts once) of all its sheets that were kept. -1 for every other part.
  int64_t rows_kept = -1;
};

struct CompletionResult {
  // The workspace holds an OpenDocument package: its mimetype says so, or (without a usable
  // mimetype) its manifest does, or its members look like one (content.xml beside styles.xml,
  // meta.xml, settings.xml or a manifest). Nothing is done to any other workspace.
  bool odf_package = false;
  // The members that were changed or found damaged, in this order: XML parts by name, then the
  // manifest, then mimetype. Empty for a package with no damaged part.
  std::vector<CompletedPart> parts;
};

// Completes the damaged parts in `workspace_folder` (which holds the salvaged members, each
// under its own name). `source_name` is the damaged document's path or file name; only its
// extension is used, for the media type when neither mimetype nor manifest gives one. Never
// fails: a part that cannot be read is left as it is, one that cannot be rewritten is reported as
// kLeftDamaged.
CompletionResult CompleteDamagedParts(const platform::Path& workspace_folder,
                                      const platform::Path& source_name);

}  // namespace vellomir

#endif  // VELLOMIR_SALVAGE_PART_COMPLETION_H_
