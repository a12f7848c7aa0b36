#pragma once
// What makes a change to the installation survive a power cut: flushing a
// file's data, or a directory's entries after a rename or a link, to disk;
// and telling whether two paths name one file (hard links to one inode), so
// that putting a kept original back can see that it is back already.
// Plain POSIX calls on the file names as given; errors come back as false.

#include <QString>

namespace DurableFiles {

// Flushes a file's data, or a directory's entries, to disk.
bool syncPath(const QString& path);
// Flushes the entries of the directory that holds `path`.
bool syncParent(const QString& path);
// True when both paths name the same file; symbolic links are not followed.
bool sameFile(const QString& a, const QString& b);

} // namespace DurableFiles
