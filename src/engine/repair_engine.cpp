// The per-document pipeline: open, extract, pack, save, each step announced in the log.
#include "engine/repair_engine.h"

#include <vector>

#include "archive/archive.h"
#include "engine/workspace.h"
#include "salvage/salvage.h"

namespace vellomir {
namespace {

using platform::Fs;
using platform::Path;

constexpr size_t kCopyBlock = 65536;
// How often a result name is formed again when another program takes it between the test and
// the copy.
constexpr int kNameRaceAttempts = 16;

void DeleteScratchFiles(const RepairWorkspace& workspace) {
  Fs().DeleteFile(workspace.scratch_archive);
  Fs().DeleteFile(workspace.packed_result);
}

void ClearWorkspace(const RepairWorkspace& workspace) {
  if (!workspace.valid()) return;
  DeleteScratchFiles(workspace);
  CDirectoryManager::DeleteFolderTree(workspace.folder);
}

// Writes the whole of `from` into `to`. False on any read or write failure.
bool CopyContents(platform::File& from, platform::File& to) {
  std::vector<unsigned char> block(kCopyBlock);
  if (!from.Seek(0)) return false;
  for (;;) {
    const int64_t n = from.Read(block.data(), block.size());
    if (n < 0) return false;
    if (n == 0) return true;
    if (!to.Write(block.data(), static_cast<size_t>(n))) return false;
  }
}

}  // namespace

CFile64::~CFile64() {
  Reset();
}

CRepairEngine::CRepairEngine(const RepairOptions& options) : m_options(options) {
  ResetWorkspace();
}

CRepairEngine::~CRepairEngine() {
  ResetWorkspace();
  m_localHeaderOffsets.clear();
  m_descriptorOffsets.clear();
  m_source.Reset();
}

void CRepairEngine::AppendLog(std::u16string line) {
  if (m_log == nullptr) return;
  line.append(kLineEnd);
  m_log->Append(line);
  m_log->RequestScrollToBottom();
}

bool CRepairEngine::OpenSource(const Path& path) {
  m_source.Reset();
  m_source.Reset(Fs().OpenExclusiveRead(path));
  return m_source.IsOpen();
}

bool CRepairEngine::ExtractContent() {
  const RepairWorkspace workspace = RepairWorkspace::Current();
  if (!m_source.IsOpen() || !workspace.valid()) return true;
  ExtractMembers(*m_source.get(), workspace, &m_localHeaderOffsets, &m_descriptorOffsets,
                 m_options.keep_member_records ? &m_outcome.members : nullptr, &m_outcome.salvage);
  return true;
}

// Completes the XML parts that were cut or damaged and rebuilds a lost manifest, so that an office
// program opens the result; logged only when something was changed.
void CRepairEngine::CompleteDamagedParts(const Path& source) {
  const RepairWorkspace workspace = RepairWorkspace::Current();
  m_outcome.completion = vellomir::CompleteDamagedParts(workspace.folder, source);
  std::vector<std::u16string> lines;
  for (const CompletedPart& part : m_outcome.completion.parts) {
    switch (part.action) {
      case CompletedPart::Action::kCompleted:
        lines.push_back(std::u16string(kLogPartCompleted) + part.name);
        break;
      case CompletedPart::Action::kRebuilt:
        lines.push_back(std::u16string(kLogPartRebuilt) + part.name);
        break;
      case CompletedPart::Action::kRemoved:
        lines.push_back(std::u16string(kLogPartRemoved) + part.name);
        break;
      case CompletedPart::Action::kLeftDamaged:
        break;  // nothing was changed; the report tells
    }
  }
  if (lines.empty()) return;
  AppendLog(std::u16string(kLogCompleting));
  for (std::u16string& line : lines) AppendLog(std::move(line));
  AppendLog(std::u16string(kLogCompletingDone));
}

bool CRepairEngine::PackWorkspace() {
  const RepairWorkspace workspace = RepairWorkspace::Current();
  if (!workspace.valid()) return false;
  PackFolder(workspace.folder, workspace.packed_result);
  return Fs().Exists(workspace.packed_result);
}

// The copy into the output folder is written under no name, flushed, and only then given its
// result name, which never replaces anything: a crash or a full disk leaves no partial file under a
// REC_ name, and a name taken by another program in the meantime is left alone.
bool CRepairEngine::SaveResult(const Path& source, const Path& output_folder) {
  const RepairWorkspace workspace = RepairWorkspace::Current();
  std::unique_ptr<platform::File> packed = Fs().OpenSharedRead(workspace.packed_result);
  if (!packed) return false;
  std::unique_ptr<platform::PendingFile> copy = Fs().CreatePendingFile(output_folder);
  if (!copy || !CopyContents(*packed, *copy)) return false;
  const Path candidate = ResultCandidate(source, output_folder);
  for (int attempt = 0; attempt < kNameRaceAttempts; ++attempt) {
    const Path result = MakeResultName(candidate);
    if (copy->Publish(result)) {
      m_outcome.result_path = result;
      return true;
    }
    if (!Fs().Exists(result)) return false;  // not a name race: the copy itself failed
  }
  return false;
}

bool CRepairEngine::RepairFile(Path source, Path output_folder, RepairLog* log) {
  m_log = log;
  m_outcome = FileOutcome{};
  m_outcome.existed = true;
  const RepairWorkspace workspace = RepairWorkspace::Current();
  ClearWorkspace(workspace);

  AppendLog(std::u16string(kLogOpening));
  // Without a private temporary folder nothing can be salvaged safely.
  if (!workspace.valid() || !OpenSource(source)) {
    AppendLog(std::u16string(kLogOpeningFail));
    ClearWorkspace(workspace);
    return false;
  }
  m_outcome.opened = true;
  AppendLog(std::u16string(kLogOpeningDone));

  AppendLog(std::u16string(kLogExtracting));
  ExtractContent();
  AppendLog(std::u16string(kLogExtractingDone));

  if (m_options.complete_damaged_parts) CompleteDamagedParts(source);

  AppendLog(std::u16string(kLogMaking));
  m_outcome.packed = PackWorkspace();
  CDirectoryManager::DeleteFolderTree(workspace.folder);
  Fs().DeleteFile(workspace.scratch_archive);
  if (!m_outcome.packed) {
    AppendLog(std::u16string(kLogMakingFail));
    ClearWorkspace(workspace);
    return false;
  }
  AppendLog(std::u16string(kLogMakingDone));

  m_outcome.saved = SaveResult(source, output_folder);
  Fs().DeleteFile(workspace.packed_result);
  if (m_outcome.saved) {
    AppendLog(std::u16string(kLogResultName) + m_outcome.result_path);
  } else {
    AppendLog(std::u16string(kLogSavingFail));
  }
  ClearWorkspace(workspace);
  return m_outcome.saved;
}

}  // namespace vellomir
