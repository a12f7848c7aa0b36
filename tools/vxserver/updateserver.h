#pragma once
// The services of one vxserver process, started from its options: the HTTP
// file service (with --root), the version and banner UDP services, the
// metrics endpoint on loopback and the summary line in the log. reload()
// rereads the answers (SIGHUP) and keeps the old ones when the new ones do
// not check out.

#include "cohorts.h"
#include "fileserver.h"
#include "metricsendpoint.h"
#include "servermetrics.h"
#include "serveroptions.h"
#include "udpreplyserver.h"

#include <QObject>
#include <QTimer>

#include <memory>

class UpdateServer final : public QObject
{
    Q_OBJECT

public:
    UpdateServer(const ServerOptions& options, std::unique_ptr<Cohorts> cohorts, QObject* parent);

    // Binds every service the options ask for and logs the start-up line,
    // which names the ports in use. False with the reason when one cannot be
    // bound.
    bool start(QString* error);
    void reload();

private:
    QString describeRollout() const;

    ServerOptions m_Options;
    std::unique_ptr<Cohorts> m_Cohorts;
    ServerMetrics m_Metrics;
    FileServer m_Files;
    UdpReplyServer m_Versions;
    UdpReplyServer m_Banner;
    MetricsEndpoint m_Endpoint;
    QTimer m_Summary;
};
