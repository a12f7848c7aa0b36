#include "configuration.h"

#include "diagnostics.h"
#include "unattendedrun.h"
#include "updatefiles.h"
#include "versionanswercheck.h"
#include "versionquery.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <utility>

QString g_UpdateBaseUrl;

namespace {

const int kDefaultStreams = 6;
// Session directories: "voxaro_temp_" and a random number below
// kTempDirNumbers; a hundred taken names in a row mean something else is
// wrong.
const int kTempDirTries = 100;
const quint32 kTempDirNumbers = 1000000000;

QString environmentValue(const char* name)
{
    return QProcessEnvironment::systemEnvironment().value(QString::fromLatin1(name));
}

QString withTrailingSlash(QString url)
{
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url;
}

// The process's own program directory; its update.ini is the second choice for
// the channel and the only source of the network settings.
QString programDir()
{
    return QCoreApplication::applicationDirPath();
}

// Step one hands the signing time of the version answer it acted on to step
// two, which pins it in the installation when it commits.
const char* const kAnswerTimeVariable = "VX3_SIGNED_ANSWER_TIME";

} // namespace

Configuration::Configuration(QObject* parent)
    : QObject(parent)
{
}

QString Configuration::productName(bool client)
{
    return QString::fromStdString(UpdateFiles::productName(client, "linux_amd64"));
}

QString Configuration::configDir()
{
    QString dir = environmentValue("VX3_CONFIG_DIR");
    if (dir.isEmpty())
        return QDir::homePath() + QStringLiteral("/.vx3client/");
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    return dir;
}

QString Configuration::stableBaseUrl()
{
    const QString url = environmentValue("VX3_UPDATE_BASE_URL");
    return withTrailingSlash(url.isEmpty() ? QStringLiteral(VX_DEFAULT_STABLE_BASE_URL) : url);
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& givenArgs)
{
    qDebug() << "parseCommandLineOptions" << givenArgs;
    m_Unattended = UnattendedRun::requested(givenArgs);
    const QStringList args = UnattendedRun::withoutOption(givenArgs);

    const QString clientUpdateFlag = QStringLiteral("--clientupdate");
    const QString noUserFlag = QStringLiteral("--nouser");

    m_ClientUpdate = (args.size() > 1 && args.at(1) == clientUpdateFlag) ? 1 : 0;
    if (m_ClientUpdate == 1) {
        m_AnswerTime = qMax<qint64>(0, qEnvironmentVariable(kAnswerTimeVariable).toLongLong());
        // The client started after step two must not hand it on.
        qunsetenv(kAnswerTimeVariable);
    }
    getUpdateChannel();

    if (args.size() <= 1) {
        qDebug() << "Empty cmdline params";
        return getDefaultParameters();
    }

    if (args.at(1) == noUserFlag || args.at(1) == clientUpdateFlag) {
        qDebug() << "CLIENTUPDATE" << (m_ClientUpdate == 1);
        // The flagged form: flag, client type, version, then optionally a
        // version string ("#" for none) and a news text.
        if (args.size() > 3) {
            if (!initializeFromArgs(args, 2))
                return false;
            if (args.size() > 4 && args.at(4) != QLatin1String("#"))
                m_VersionString = args.at(4);
            if (args.size() > 5)
                m_News = args.at(5);
        }
        return getDefaultParameters();
    }

    if (args.size() == 3)
        return initializeFromArgs(args, 1);

    qDebug() << "Empty cmdline params";
    return getDefaultParameters();
}

bool Configuration::initializeFromArgs(const QStringList& args, int first)
{
    m_ClientType = args.at(first);
    return setVersionNr(args.at(first + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::setVersionNr(const QString& text, const QString& errorFormat)
{
    // An alpha revision from update.ini is already set and wins over the
    // command line and the server.
    if (m_VersionNr != 0)
        return true;

    bool ok = false;
    m_VersionNr = text.toInt(&ok, 10);
    if (ok)
        return true;
    emit fatalError(errorFormat.arg(text));
    return false;
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << m_ClientType;
    if (m_ClientType.isEmpty())
        m_ClientType = productName(m_ClientUpdate == 1);
    qDebug() << "clientType" << m_ClientType;

    if (m_VersionNr != 0)
        return true;

    const QPair<QString, QString> latest = queryLatestVersion(m_Channel, &m_News);
    if (latest.first.isEmpty())
        return false;
    if (!setVersionNr(latest.first, QObject::tr("Update server returned invalid version nr (%1)")))
        return false;
    m_VersionString = latest.second;
    return true;
}

QPair<QString, QString> Configuration::queryLatestVersion(int channel, QString* news)
{
    VersionQuery query;
    for (;;) {
        if (query.query())
            return takeAnswer(query, channel, news);
        const QString failure = QObject::tr("Failed to query latest client\nversion from update server.");
        Diagnostics::logLine(failure);
        // Nobody is there to choose Retry.
        if (m_Unattended || !m_RetryPrompt || !m_RetryPrompt(failure))
            return {};
    }
}

QPair<QString, QString> Configuration::takeAnswer(const VersionQuery& query, int channel, QString* news)
{
    QString refusal;
    qint64 signedAt = 0;
    if (!VersionAnswerCheck::accept(query.versionText(), programDir(), QDateTime::currentSecsSinceEpoch(),
                                    &signedAt, &refusal)) {
        qDebug() << "Version answer refused" << refusal;
        m_ServiceUnverified = true;
        emit fatalError(refusal);
        return {};
    }
    m_AnswerTime = signedAt;
    if (signedAt != 0)
        qputenv(kAnswerTimeVariable, QByteArray::number(signedAt));
    *news = query.newsText();
    return query.entryAt(channel);
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";

    QString path = configDir() + QStringLiteral("update.ini");
    bool found = QFileInfo::exists(path);
    qDebug() << "Update ini check #1 in CONFIG" << path << found;
    if (found) {
        qDebug() << "Found CONFIG/update.ini";
    } else {
        path = programDir() + QStringLiteral("/update.ini");
        found = QFileInfo::exists(path);
        qDebug() << "Update ini check #2 in INSTALL" << path << found;
        if (!found) {
            m_Channel = 0;
            m_LocalRevision = false;
            m_VersionNr = 0;
            g_UpdateBaseUrl = stableBaseUrl();
            qDebug() << "No update.ini found, using stable channel, URL =" << g_UpdateBaseUrl;
            return;
        }
        qDebug() << "Found INSTALL/update.ini";
    }

    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();

    if (!alpha.isEmpty()) {
        m_Channel = 2;
        m_VersionNr = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
        m_LocalRevision = m_VersionNr != 0;
        g_UpdateBaseUrl = withTrailingSlash(alpha);
        qDebug() << "Alpha channel detected, URL =" << g_UpdateBaseUrl;
        return;
    }
    m_Channel = beta ? 1 : 0;
    m_LocalRevision = false;
    m_VersionNr = 0;
    g_UpdateBaseUrl = stableBaseUrl();
    qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << g_UpdateBaseUrl;
}

bool Configuration::initalizeStart(const QString& tempDir, const QString& installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty())
        m_TempDir = tempDir;
    else if (!createTempDir())
        return false;
    m_InstallDir = installDir.isEmpty() ? programDir() : installDir;
    return true;
}

QString Configuration::sessionParent()
{
    // Step two runs the new updater from its session directory: on a file
    // system mounted noexec (a hardened /tmp) it could not start, so the
    // session goes to the configuration directory, which is this user's.
    const QString temp = QDir::tempPath();
    struct statvfs info;
    if (::statvfs(QFile::encodeName(temp).constData(), &info) != 0 || (info.f_flag & ST_NOEXEC) == 0)
        return temp;
    const QString config = QDir::cleanPath(configDir());
    ::mkdir(QFile::encodeName(config).constData(), 0700);
    qDebug() << "Temporary directory is mounted noexec, sessions go to" << config;
    return config;
}

bool Configuration::createTempDir()
{
    QString prefix = sessionParent();
    if (prefix.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    prefix += QStringLiteral("voxaro_temp_");

    // One mkdir per candidate, which fails when the name exists: a directory
    // another local user made under our name between a check and a create
    // would be theirs, and they could swap downloads after verification.
    // Random digits, so that names planted ahead cannot use up the tries;
    // still digits, so that the clean-up of older builds knows them.
    for (int i = 0; i < kTempDirTries; ++i) {
        const QString candidate =
            prefix + QString::number(QRandomGenerator::system()->bounded(kTempDirNumbers));
        if (::mkdir(QFile::encodeName(candidate).constData(), 0700) == 0) {
            m_TempDir = candidate;
            return true;
        }
        if (errno != EEXIST) {
            const QString reason = QString::fromLocal8Bit(std::strerror(errno));
            qDebug() << "*Error* Unable to create temp directory" << candidate << reason;
            emit fatalError(QObject::tr("Unable to create a temporary directory in '%1': %2")
                                .arg(sessionParent(), reason));
            return false;
        }
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::readUpdateIniSettings()
{
    QSettings settings(programDir() + QStringLiteral("/update.ini"), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    m_Proxy = settings.value(QStringLiteral("proxy")).toString();
    m_Streams = settings.value(QStringLiteral("streams"), kDefaultStreams).toInt();
    if (m_Streams < 1)
        m_Streams = kDefaultStreams;
}

int Configuration::clientUpdate() const { return m_ClientUpdate; }
int Configuration::channel() const { return m_Channel; }
bool Configuration::localRevision() const { return m_LocalRevision; }
qint64 Configuration::answerTime() const { return m_AnswerTime; }
bool Configuration::serviceUnverified() const { return m_ServiceUnverified; }
bool Configuration::modernSignatureVerified() const
{
    return m_ModernSignatureVerified;
}
void Configuration::setModernSignatureVerified(bool verified)
{
    m_ModernSignatureVerified = verified;
}
void Configuration::setRetryPrompt(RetryPrompt prompt)
{
    m_RetryPrompt = std::move(prompt);
}
QString Configuration::clientType() const { return m_ClientType; }
int Configuration::versionNr() const { return m_VersionNr; }
QString Configuration::versionString() const { return m_VersionString; }
QString Configuration::news() const { return m_News; }
QString Configuration::tempDir() const { return m_TempDir; }
QString Configuration::installDir() const { return m_InstallDir; }
QString Configuration::proxy() const { return m_Proxy; }
int Configuration::streams() const { return m_Streams; }
bool Configuration::unattended() const { return m_Unattended; }
