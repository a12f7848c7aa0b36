// Product inis as the list building reads them once their signature passed:
// Qt's INI reader, then line kinds, fields, paths and download names. Every
// path of an accepted ini must be one the updater may join to its
// directories.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include "productinireader.h"
#include "updatefiles.h"

namespace {

bool safe(const QString& path) { return UpdateFiles::isSafeRelativePath(path.toStdString()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QTemporaryDir dir;
  static quint64 serial = 0;
  // A new name for every input: Qt's settings cache knows files by name and
  // may not notice a rewrite within the same millisecond.
  const QString path = dir.path() + QStringLiteral("/%1.ini").arg(++serial);
  {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
      abort();
  }
  ProductIniReader reader;
  if (reader.read(path) == ProductIniReader::Result::Ok) {
    for (const ProductIniReader::Section& section : reader.sections()) {
      for (const ProductIniReader::FileLine& line : section.files) {
        if (!safe(line.download.name) || !safe(line.replace.targetName())) abort();
      }
      for (const ProductIniReader::Patch& patch : section.patches) {
        if (!safe(patch.key)) abort();
      }
      for (const DeleteItem& item : section.deletes) {
        if (!safe(item.path)) abort();
      }
    }
  }
  QFile::remove(path);
  return 0;
}
