#pragma once
// What this run of the updater does: which step (updater or client), channel,
// product, target version, news, the session's directories, proxy and the
// number of parallel downloads. One object per process, created by the entry
// function before the window. It reads the command line, the "Channel" and
// "update" groups of update.ini and, when no version is given, asks the update
// server. It also sets g_UpdateBaseUrl, the base of every update file's URL.

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

class VersionQuery;

// Base URL of all update files, ending in "/"; set by getUpdateChannel().
extern QString g_UpdateBaseUrl;

class Configuration final : public QObject
{
    Q_OBJECT

public:
    explicit Configuration(QObject* parent = nullptr);

    // Reads QCoreApplication::arguments(); the overload takes them explicitly
    // (position 0 is the program). "--unattended" may stand anywhere; it is
    // noted and removed before the positional arguments are read.
    bool parseCommandLineOptions();
    bool parseCommandLineOptions(const QStringList& args);
    bool initalizeStart(const QString& tempDir, const QString& installDir);
    void readUpdateIniSettings();

    bool getDefaultParameters();
    void getUpdateChannel();
    bool createTempDir();

    static QString productName(bool client);
    static QString configDir();
    // Where session directories are made: the system temporary directory,
    // or the configuration directory when programs cannot run from the
    // former (mounted noexec).
    static QString sessionParent();
    // The stable (and beta) channel's base URL: the build's default, or
    // "VX3_UPDATE_BASE_URL" from the environment. Always ends in "/".
    static QString stableBaseUrl();

    int clientUpdate() const;
    int channel() const;
    QString clientType() const;
    int versionNr() const;
    QString versionString() const;
    QString news() const;
    QString tempDir() const;
    QString installDir() const;
    QString proxy() const;
    int streams() const;
    // Started with "--unattended": no boxes, and a version query that fails
    // is not retried.
    bool unattended() const;
    // The version was chosen on this machine: the alpha channel's revision
    // ("alphaRevno") in update.ini. Going back to an older version is then
    // the user's choice, not the network's.
    bool localRevision() const;
    // When the signed version answer this update follows was signed (Unix
    // seconds); 0 when it had no valid signature or the version was given.
    // Step two learns it from step one and pins it when it commits.
    qint64 answerTime() const;
    // The version answer was refused as unverifiable (VersionAnswerCheck).
    bool serviceUnverified() const;
    // This step's product ini carries a valid signature by a trusted Ed25519
    // key; set by the product ini task. Step two pins it when it commits.
    bool modernSignatureVerified() const;
    void setModernSignatureVerified(bool verified);

    // Asked after a failed version query whether to try again; `failure`
    // says what failed. The entry function hands in a box with Abort and
    // Retry. Without one, or when unattended, a failed query is final.
    using RetryPrompt = std::function<bool(const QString& failure)>;
    void setRetryPrompt(RetryPrompt prompt);

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    bool setVersionNr(const QString& text, const QString& errorFormat);
    bool initializeFromArgs(const QStringList& args, int first);
    QPair<QString, QString> queryLatestVersion(int channel, QString* news);
    // The channel's entry of an answer that passes VersionAnswerCheck;
    // empty, after fatalError, when it does not.
    QPair<QString, QString> takeAnswer(const VersionQuery& query, int channel, QString* news);

    int m_ClientUpdate = 0;
    int m_Channel = 0;
    QString m_ClientType;
    int m_VersionNr = 0;
    QString m_VersionString;
    QString m_News;
    QString m_TempDir;
    QString m_InstallDir;
    QString m_Proxy;
    int m_Streams = 6;
    bool m_Unattended = false;
    bool m_LocalRevision = false;
    qint64 m_AnswerTime = 0;
    bool m_ServiceUnverified = false;
    bool m_ModernSignatureVerified = false;
    RetryPrompt m_RetryPrompt;
};
