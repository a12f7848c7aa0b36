#pragma once
// Where the updater's UDP queries (latest version, news, banner) go: the
// build's UPDATE_SERVER_HOST, overridden by "VX3_UPDATE_SERVER_HOST" from the
// environment for tests, staging and the demo.

#include <QString>

class UpdateServerAddress final
{
public:
    UpdateServerAddress() = delete;

    static QString host();
};
