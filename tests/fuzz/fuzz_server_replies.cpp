// The update server's UDP replies as the updater reads them: one datagram
// read as the version list, as the news (and its default link) and as the
// banner reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "serverreplies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray datagram = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
  const QList<QPair<QString, QString>> entries = ServerReplies::versionEntries(datagram);
  // One entry per ',' of what is read, plus one.
  if (entries.isEmpty() || entries.size() > ServerReplies::kVersionLimit + 1) abort();
  const QString news = ServerReplies::newsText(datagram);
  ServerReplies::newsLink(news);
  QString bannerUrl;
  QString clickUrl;
  if (ServerReplies::bannerUrls(datagram, &bannerUrl, &clickUrl) &&
      bannerUrl.size() + clickUrl.size() >= ServerReplies::kBannerLimit)
    abort();
  return 0;
}
