#pragma once
// The banner cached between the two steps of an update: "voxaro_banner.jpg"
// (the image) and "voxaro_banner.txt" (the click URL, UTF-8, percent-encoded)
// in the system temporary directory. That directory is shared with every
// local user, so a file there is used only when it is a regular file owned by
// this user, opened without following links and without blocking; anything
// else (a planted file, a symbolic link, a FIFO) counts as no cache.

#include <QByteArray>
#include <QString>

namespace BannerCache {

QString imagePath();
QString urlPath();

// Reads both files. True when both are usable and non-empty; otherwise
// both outputs are left empty.
bool read(QByteArray* image, QString* clickUrl);

// Writes both files, creating them for this user only. False when either
// could not be written safely; what was written is then removed again.
bool write(const QByteArray& image, const QString& clickUrl);

// Deletes both files (never what a link points to).
void remove();

// The largest image accepted from the cache; larger banners are refused
// on download, so a larger file was not written by us.
constexpr qint64 kMaxImageSize = 270000;

} // namespace BannerCache
