#pragma once
// Where the updater's UDP queries (latest version, news, banner) go: the
// build's UPDATE_SERVER_HOST, overridden by "VX3_UPDATE_SERVER_HOST" from the
// environment for tests, staging and the demo; the ports 17384 (version list
// and news) and 2009 (banner), overridden by "VX3_UPDATE_SERVER_PORT" and
// "VX3_BANNER_SERVER_PORT", so that tests run side by side and staging
// servers run without privileges. A port override that is not a number from
// 1 to 65535 is ignored.

#include <QString>

namespace UpdateServerAddress {

constexpr quint16 kDefaultVersionPort = 17384;
constexpr quint16 kDefaultBannerPort = 2009;

QString host();
quint16 versionPort();
quint16 bannerPort();

} // namespace UpdateServerAddress
