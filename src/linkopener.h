#pragma once
// Opens a link in the desktop's web browser. Only http and https links are
// opened: banner and news links come from the network or from the shared
// temporary directory, and other schemes ("file", custom handlers) could
// start local programs or open local files.

#include <QString>

class QUrl;

namespace LinkOpener {

// Parses `url` in tolerant mode; true when it was handed to the browser.
bool open(const QString& url);
bool isOpenable(const QUrl& url);

} // namespace LinkOpener
