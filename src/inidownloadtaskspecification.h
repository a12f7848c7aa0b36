#pragma once
// Puts a verified product ini of the target version into the session's
// temporary directory: downloads the packed ini and its signature, unpacks
// the ini and checks the signature, one sub-task after the other. A failed
// check is answered by a full new attempt (everything downloaded and unpacked
// again) up to kMaxRetries times; the next failure, or one that comes when
// the next wait would end after kMaxVerifyMs from the start, ends the task
// failed with a line that says why and how long it tried.
// Files already in the temporary directory (a continued session) are used
// instead of downloads, but only on the first attempt.
//
// A signed ini may name the version and product it was published for (keys
// "version" and "product" outside any section); an ini that names another
// version or product than the one asked for counts as a failed check, so an
// older or foreign ini served in its place can never be installed.
//
// The installation's trust record (TrustState) holds the version floor: a
// target below it is refused for good ("Version %1 is older than the
// installed version %2; not installed"), unless the revision was set in
// update.ini (alpha channel) or the signed ini allows it with the top-level
// key "allow-downgrade=1". Once there is a floor, an ini without the version
// and product binding is refused too.
//
// A cancel request survives the retries: a check that fails after it ends
// the task TASK_ABORTED instead of starting over.
//
// Next to the RSA ".sig" the ini may carry modern signatures
// ("<ini>.signatures", modernsignature.h), checked once the RSA signature
// passed. A 404 for them is no failed download and costs no retry, and a
// release without them is accepted, as releases made before them are, until
// the installation's trust record says it has installed a release with a
// valid one (TrustState::requiresModernSignature, pinned by step two when it
// commits): from then on an ini without them is refused at once ("Refused:
// the product ini is not signed with a current key ..."). One signed only by
// keys this updater does not trust is always refused at once: no retry can
// change a signature that is whole.
//
// Retries wait first, 1 s after the first failed check, doubling up to 60 s,
// so that a broken or hostile server cannot make the updater download in a
// tight loop; the wait is announced in the log and a cancel ends it at once.
// The retries are for a server that is briefly inconsistent while a release
// is copied in; a signature that stays bad is reported within two minutes.
// Nobody lists the sizes of the packed ini and its signature, so their
// downloads are capped at kMaxPackedIniSize and kMaxSignatureSize.

#include "composedtaskspecification.h"

#include <QElapsedTimer>

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;
class QTimer;

class IniDownloadTaskSpecification final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // 1 + 2 + 4 + 8 + 16 + 32 s of waiting at most.
    static constexpr int kMaxRetries = 6;
    static constexpr int kMaxVerifyMs = 100000;
    // The most bytes the unpacked product ini may have. It is unpacked before
    // its signature can be checked, so nothing but this cap keeps a forged
    // container from filling memory and disk; real inis (a few hundred bytes
    // a file) stay far below it.
    static constexpr quint64 kMaxUnpackedIniSize = quint64(64) << 20;
    static constexpr qint64 kMaxPackedIniSize = 16 * 1024 * 1024;
    // Far above the 128 bytes of our 1024-bit keys' signatures.
    static constexpr qint64 kMaxSignatureSize = 64 * 1024;
    static constexpr int kMaxRetryDelayMs = 60000;

    IniDownloadTaskSpecification(QNetworkAccessManager* nam, Configuration* config,
                                 QObject* parent, qreal weight);

    // "vx3_client_linux_amd64.ini" for the client step, "update_linux_amd64.ini"
    // for the updater step; the name on the server and in the temporary directory.
    static QString iniName(bool clientUpdate);
    // The top-level key of a signed ini that lets it replace newer versions.
    static constexpr const char* kAllowDowngradeKey = "allow-downgrade";
    // The version the verified ini in the temporary directory is bound to
    // (keys "version" and "product"); 0 when it names none.
    static int boundVersion(const Configuration& config);
    int retryCount() const;

    // The wait before retry number `retry` (1 for the first): the base delay,
    // doubled for every retry before it, at most kMaxRetryDelayMs.
    static int retryDelayMs(int retry);
    // 1000 ms unless a test sets another base (0: no wait); a test build
    // also takes it from VX3_TEST_INI_RETRY_MS.
    static void setRetryBaseDelayMs(int ms);

public slots:
    void execute() override;
    void reset() override;
    void cancel() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);
    void onRetryTimer();

private:
    void makeSubtasksAndStart();
    // False, with a message, when the verified ini names another version or
    // product than the one this session asked for.
    bool isForRequestedRelease();
    enum ModernOutcome { ModernAccepted, ModernRetry, ModernRefused };
    ModernOutcome checkModernSignature();
    void giveUp();
    // False, with the reason, when the installation's trust record refuses
    // the verified ini: below the floor, or unbound where there is a floor.
    bool isAllowedByTrustState(QString* refusal);
    // False, with the refusal, when the installation requires modern
    // signatures (or its trust record cannot be read).
    bool isModernSignatureOptional(QString* refusal);

    QNetworkAccessManager* m_Nam;
    Configuration* m_Config;
    int m_RetryCount;
    // Why the last attempt was refused, and since when the task tries.
    QString m_LastFailure;
    QElapsedTimer m_Started;
    // Runs while a retry waits; the task is TASK_RUNNING without sub-tasks then.
    QTimer* m_RetryTimer;
};
