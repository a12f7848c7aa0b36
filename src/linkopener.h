#pragma once
// Opens a link in the desktop's web browser. Only http and https links are
// opened: banner and news links come from the network or from the shared
// temporary directory, and other schemes ("file", custom handlers) could
// start local programs or open local files.

#include <QString>

class QUrl;

class LinkOpener final
{
public:
    LinkOpener() = delete;

    // Parses `url` in tolerant mode; true when it was handed to the browser.
    static bool open(const QString& url);
    static bool isOpenable(const QUrl& url);
};
