// The commands that fill the file list and start a run: Select Files, Remove Files and Next.
#include <QApplication>
#include <QDir>
#include <QHash>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QStyle>
#include <QTableWidget>

#include "shell/shell_texts.h"
#include "shell/ui_seam.h"
#include "shell/vellomir_view.h"

namespace vellomir {
namespace {

// File systems whose files live on another computer. Repairing straight from them is slow and
// fragile, so the person is advised to copy the file first.
const char* const kNetworkFileSystems[] = {"nfs",
                                           "nfs4",
                                           "cifs",
                                           "smb3",
                                           "smbfs",
                                           "ncpfs",
                                           "afs",
                                           "9p",
                                           "ceph",
                                           "glusterfs",
                                           "lustre",
                                           "davfs",
                                           "fuse.sshfs",
                                           "fuse.davfs2",
                                           "fuse.glusterfs",
                                           "fuse.s3fs",
                                           "fuse.rclone",
                                           "fuse.gvfsd-fuse",
                                           "fuse.cephfs",
                                           "fuse.curlftpfs"};
const char* const kOpticalDiscFileSystems[] = {"iso9660", "udf"};

template <size_t N>
bool IsOneOf(const QString& type, const char* const (&names)[N]) {
  for (const char* name : names) {
    if (type == QLatin1String(name)) return true;
  }
  return false;
}

// The upper-case copy the file-type test looks at: letters a to z only, whatever the locale.
QString AsciiUpper(QString text) {
  for (QChar& c : text) {
    if (c >= u'a' && c <= u'z') c = QChar(c.unicode() - u'a' + u'A');
  }
  return text;
}

}  // namespace

bool IsNetworkFileSystem(const QString& type) {
  return IsOneOf(type, kNetworkFileSystems);
}

bool IsOpticalDiscFileSystem(const QString& type) {
  return IsOneOf(type, kOpticalDiscFileSystems);
}

// The list of icons grows by one entry per file type met; every row of that type shares it.
namespace {
struct IconCache {
  QList<QIcon> icons;
  QHash<QString, int> index_of_type;
};
IconCache& Icons() {
  static IconCache cache;
  return cache;
}
}  // namespace

const QList<QIcon>& CUseShGetFileInfo::SystemImageList() {
  return Icons().icons;
}

int CUseShGetFileInfo::IconIndexOf(const QString& path) {
  // By the name alone: the file is never opened or even looked at.
  const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
  IconCache& cache = Icons();
  if (auto known = cache.index_of_type.constFind(type.name());
      known != cache.index_of_type.constEnd()) {
    return *known;
  }
  QIcon icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
  if (icon.isNull()) icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
  cache.icons.append(icon);
  cache.index_of_type.insert(type.name(), static_cast<int>(cache.icons.size() - 1));
  return static_cast<int>(cache.icons.size() - 1);
}

bool CVellomirView::IsNetworkPath(const QString& path) const {
  if (path.startsWith(u'\\') || path.startsWith(QStringLiteral("//"))) return true;
  return m_fileSystemType && IsNetworkFileSystem(m_fileSystemType(path));
}

void CVellomirView::AddFileRow(const QString& path) {
  // Every row goes in at the top, so the list ends up in the reverse order of the working list.
  m_fileList->insertRow(0);
  auto* item = new QTableWidgetItem(path);
  item->setIcon(CUseShGetFileInfo::SystemImageList().value(CUseShGetFileInfo::IconIndexOf(path)));
  m_fileList->setItem(0, 0, item);
}

void CVellomirView::OnSelectFiles() {
  QStringList working;
  for (int row = 0; row < m_fileList->rowCount(); ++row) {
    working.append(m_fileList->item(row, 0)->text());
  }

  const std::optional<QStringList> chosen =
      Ui().ChooseFiles(this, Q(kSelectFilesTitle), Q(kSelectFilesFilter));
  if (chosen) {
    for (const QString& path : *chosen) {
      // The same path in another letter case is another file on this system, and is listed.
      if (working.contains(path, Qt::CaseSensitive)) {
        Ui().Tell(this, path + Q(kAlreadyListed));
      } else {
        working.append(path);
      }
    }
  }

  // The list is rebuilt from the working list, also after a cancelled dialog.
  m_fileList->setRowCount(0);
  bool network_seen = false;
  for (const QString& path : working) {
    if (!AsciiUpper(path).contains(QStringLiteral(".ODS"))) continue;
    if (IsNetworkPath(path)) network_seen = true;
    AddFileRow(path);
  }
  if (network_seen) Ui().Tell(this, Q(kNetworkMessage));
}

void CVellomirView::OnRemoveFiles() {
  if (m_fileList->rowCount() == 0) {
    Ui().Tell(this, Q(kNothingToRemove));
    return;
  }
  bool removed = false;
  for (int row = 0; row < m_fileList->rowCount();) {
    if (m_fileList->item(row, 0)->isSelected()) {
      m_fileList->removeRow(row);  // the next row moves up into this place
      removed = true;
    } else {
      ++row;
    }
  }
  if (!removed) Ui().Tell(this, Q(kNothingToRemove));
}

QString CVellomirView::BrowseOutputFolder() {
  const QString path = QDir::toNativeSeparators(Ui().ChooseFolder(this, Q(kFolderBrowserTitle)));
  if (path.isEmpty()) return QString();
  if (m_fileSystemType && IsOpticalDiscFileSystem(m_fileSystemType(path))) {
    Ui().Tell(this, Q(kOpticalDiscMessage));
    m_folderField->clear();
    return QString();
  }
  m_folderField->setText(path);
  return path;
}

void CVellomirView::OnNext() {
  if (m_fileList->rowCount() == 0) {
    Ui().Tell(this, Q(kNothingListed));
    return;
  }
  m_folderField->clear();
  BrowseOutputFolder();
  const QString folder = m_folderField->text();
  if (folder.isEmpty()) return;

  m_outputFolder = folder.toStdU16String();
  if (m_outputFolder.back() != platform::kSeparator) m_outputFolder += platform::kSeparator;
  ShowRunningPage();
  StartRun();
}

}  // namespace vellomir
