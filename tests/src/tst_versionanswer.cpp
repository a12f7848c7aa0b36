// The signed version answer's entries: what the publisher's side refuses to
// sign, and how every kind of tampered, foreign, malformed or stale answer
// is judged, with the exact reason given.
#include "versionanswer.h"

#include <QtTest>

namespace {

const std::int64_t kSignedAt = 1765180800;
const std::int64_t kLifetime = 7 * 86400;
const std::string kChannels = "302#3.0.2,302#3.0.2,303#3.0.3 alpha";

} // namespace

class TestVersionAnswer final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signRefuses_data();
    void signRefuses();
    void verify_data();
    void verify();

private:
    ed25519::KeyPair m_Key;
    ed25519::KeyPair m_Other;
    std::string m_Signed;
};

void TestVersionAnswer::initTestCase()
{
    m_Key = ed25519::makeKeyPair();
    m_Other = ed25519::makeKeyPair();
    std::string reason;
    QVERIFY(versionanswer::sign(kChannels, kSignedAt, kSignedAt + kLifetime, m_Key.secretKey, m_Key.publicKey,
                                &m_Signed, &reason));
    QCOMPARE(QString::fromStdString(versionanswer::channelEntries(m_Signed)),
             QString::fromStdString(kChannels));
    // Four entries of fixed size: 191 bytes after the channels.
    QCOMPARE(m_Signed.size(), kChannels.size() + 191);
}

void TestVersionAnswer::signRefuses_data()
{
    QTest::addColumn<QString>("channels");
    QTest::addColumn<QString>("reason");
    QTest::newRow("two entries")
        << "1#1,1#1"
        << "the version list has 2 entries; a signed one has exactly 3 (stable, beta, alpha)";
    QTest::newRow("a signature entry") << "1#1,1#1,sig=00"
                                       << "the entry 'sig=00' looks like a signature entry";
    QTest::newRow("too long") << "1#" + QString(400, 'x') + ",1#1,1#1"
                              << "the signed version list is 601 bytes; the updater reads at most 511";
}

void TestVersionAnswer::signRefuses()
{
    QFETCH(QString, channels);
    QFETCH(QString, reason);
    std::string reply;
    std::string why;
    QVERIFY(!versionanswer::sign(channels.toStdString(), kSignedAt, kSignedAt + kLifetime, m_Key.secretKey,
                                 m_Key.publicKey, &reply, &why));
    QCOMPARE(QString::fromStdString(why), reason);
}

void TestVersionAnswer::verify_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");

    const QString good = QString::fromStdString(m_Signed);
    const qint64 inTime = kSignedAt + 60;
    const auto valid = int(versionanswer::Status::Valid);
    const auto invalid = int(versionanswer::Status::Invalid);
    QTest::newRow("valid") << good << inTime << valid << "";
    QTest::newRow("unsigned") << QString::fromStdString(kChannels) << inTime
                              << int(versionanswer::Status::Unsigned) << "";
    QTest::newRow("expired") << good << qint64(kSignedAt + kLifetime) << int(versionanswer::Status::Expired)
                             << "it expired 0 seconds ago";
    QString tampered = good;
    tampered.replace(0, 3, "301");
    QTest::newRow("channel entry changed") << tampered << inTime << invalid << "its signature is not valid";
    QString later = good;
    later.replace(QString::number(kSignedAt + kLifetime), QString::number(kSignedAt + 10 * kLifetime));
    QTest::newRow("expiry moved") << later << inTime << invalid << "its signature is not valid";
    QTest::newRow("signature entry missing")
        << good.left(good.lastIndexOf(',')) << inTime << invalid << "its signature entries are malformed";
    QTest::newRow("entry added") << good + ",x=1" << inTime << invalid
                                 << "its signature entries are malformed";
    QTest::newRow("signature cut") << good.chopped(2) << inTime << invalid
                                   << "its signature entries are malformed";
    const QString otherId = QString::fromStdString(ed25519::keyId(m_Other.publicKey));
    QString foreign = good;
    foreign.replace(QString::fromStdString(ed25519::keyId(m_Key.publicKey)), otherId);
    QTest::newRow("unknown key") << foreign << inTime << invalid
                                 << "it is signed with an unknown key " + otherId;
}

void TestVersionAnswer::verify()
{
    QFETCH(QString, reply);
    QFETCH(qint64, now);
    QFETCH(int, status);
    QFETCH(QString, reason);
    const versionanswer::Check check = versionanswer::verify(reply.toStdString(), {m_Key.publicKey}, now);
    QCOMPARE(int(check.status), status);
    QCOMPARE(QString::fromStdString(check.reason), reason);
    if (check.status == versionanswer::Status::Valid)
        QCOMPARE(check.signedAt, kSignedAt);
}

QTEST_GUILESS_MAIN(TestVersionAnswer)
#include "tst_versionanswer.moc"
