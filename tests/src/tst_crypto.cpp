// The signature crypto against an independent implementation (the OpenSSL
// command line): keys and signatures made by either side must be accepted by
// the other, and library errors must surface as crypt_exception texts.

#include "crypto.h"
#include "ed25519.h"
#include "signaturelist.h"
#include "support/testfiles.h"
#include "updatepublickey.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

unsigned long length(const QByteArray& data)
{
    return static_cast<unsigned long>(data.size());
}

QByteArray sign(RsaKey& key, const QByteArray& data)
{
    QByteArray signature(static_cast<int>(key.modulusSize()), '\0');
    unsigned long size = length(signature);
    signData(key, bytes(data), length(data), reinterpret_cast<unsigned char*>(signature.data()),
             &size);
    signature.resize(static_cast<int>(size));
    return signature;
}

bool verify(RsaKey& key, const QByteArray& data, const QByteArray& signature)
{
    return verifySignature(key, bytes(data), length(data), bytes(signature), length(signature));
}

// The exception text of `op`, or "no exception".
template <typename Op>
QString thrown(Op op)
{
    try {
        op();
    } catch (const crypt_exception& e) {
        return QString::fromLatin1(e.what());
    }
    return QStringLiteral("no exception");
}

const QStringList kPssOptions{"-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8",
                              "-sigopt", "rsa_mgf1_md:sha1"};

} // namespace

class TestCrypto final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void embeddedKeyImportsFromPaddedBuffer();
    void generatedKeysHaveTheAgreedForm();
    void opensslSignatureVerifies();
    void ourSignatureVerifiesWithOpenssl();
    void libraryErrorsBecomeExceptions();
    void ed25519InteroperatesWithOpenssl();
    void signatureListsAreReadStrictly_data();
    void signatureListsAreReadStrictly();

private:
    // Runs openssl; its exit status, or -1 when it could not run.
    int openssl(const QStringList& args, QByteArray* output = nullptr);

    QTemporaryDir m_Dir;
    QString m_TestKeyDir = QStringLiteral(VX_TEST_KEY_DIR);
};

int TestCrypto::openssl(const QStringList& args, QByteArray* output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), args);
    if (!process.waitForFinished(60000))
        return -1;
    const QByteArray out = process.readAll();
    if (output)
        *output = out;
    if (process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (process.exitCode() != 0)
        qWarning("openssl %s: %s", qPrintable(args.join(' ')), out.constData());
    return process.exitCode();
}

void TestCrypto::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty(),
             "the interoperability cases need the openssl command (scripts/setup installs it)");
    initCrypto();
    initCrypto(); // a second call changes nothing
}

void TestCrypto::embeddedKeyImportsFromPaddedBuffer()
{
    RsaKey key;
    importPublicKey(key, g_UpdatePublicKey, kUpdatePublicKeySize);
    QVERIFY(key.isLoaded());
    QVERIFY(!key.isPrivate());
    QCOMPARE(key.modulusSize(), 128ul);
}

void TestCrypto::generatedKeysHaveTheAgreedForm()
{
    RsaKey key;
    makeKey(key);
    QVERIFY(key.isPrivate());
    const std::vector<unsigned char> publicDer = exportPublicKey(key);
    const std::vector<unsigned char> privateDer = exportPrivateKey(key);
    QCOMPARE(publicDer.size(), size_t(140));

    const QString publicPath = m_Dir.filePath(QStringLiteral("gen-public.der"));
    writeFile(publicPath, QByteArray(reinterpret_cast<const char*>(publicDer.data()),
                                     static_cast<int>(publicDer.size())));
    QByteArray text;
    QCOMPARE(openssl({"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", publicPath, "-noout",
                      "-text"},
                     &text),
             0);
    QVERIFY2(text.contains("Public-Key: (1024 bit)"), text.constData());
    QVERIFY2(text.contains("Exponent: 65537"), text.constData());

    const QString privatePath = m_Dir.filePath(QStringLiteral("gen-private.der"));
    writeFile(privatePath, QByteArray(reinterpret_cast<const char*>(privateDer.data()),
                                      static_cast<int>(privateDer.size())));
    QCOMPARE(openssl({"rsa", "-inform", "DER", "-in", privatePath, "-noout", "-check"}, &text), 0);

    // Round trip through the exported forms.
    RsaKey privateKey;
    importPrivateKey(privateKey, privateDer.data(), privateDer.size());
    RsaKey publicKey;
    importPublicKey(publicKey, publicDer.data(), publicDer.size());
    const QByteArray data("round trip");
    const QByteArray signature = sign(privateKey, data);
    QCOMPARE(signature.size(), 128);
    QVERIFY(verify(publicKey, data, signature));
    QVERIFY(!verify(publicKey, QByteArray("round trip!"), signature));
}

void TestCrypto::opensslSignatureVerifies()
{
    const QString pem = m_Dir.filePath(QStringLiteral("test-private.pem"));
    QCOMPARE(openssl({"rsa", "-inform", "DER", "-in", m_TestKeyDir + "/private.der", "-out", pem}), 0);
    const QByteArray data("[product]\nversion=3000123\n");
    const QString dataPath = m_Dir.filePath(QStringLiteral("by-openssl.ini"));
    writeFile(dataPath, data);
    QCOMPARE(openssl(QStringList{"dgst", "-sha1"} + kPssOptions
                     + QStringList{"-sign", pem, "-out", dataPath + ".sig", dataPath}),
             0);
    const QByteArray signature = readFile(dataPath + ".sig");
    QCOMPARE(signature.size(), 128);

    const QByteArray publicDer = readFile(m_TestKeyDir + "/public.der");
    RsaKey key;
    importPublicKey(key, bytes(publicDer), length(publicDer));
    QVERIFY(verify(key, data, signature));
    QVERIFY(!verify(key, data + ' ', signature));
}

void TestCrypto::ourSignatureVerifiesWithOpenssl()
{
    const QByteArray privateDer = readFile(m_TestKeyDir + "/private.der");
    RsaKey key;
    importPrivateKey(key, bytes(privateDer), length(privateDer));
    const QByteArray data("[product]\nversion=3000124\n");
    const QString dataPath = m_Dir.filePath(QStringLiteral("by-us.ini"));
    writeFile(dataPath, data);
    writeFile(dataPath + ".sig", sign(key, data));

    const QString pem = m_Dir.filePath(QStringLiteral("test-public.pem"));
    QCOMPARE(openssl({"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in",
                      m_TestKeyDir + "/public.der", "-pubout", "-out", pem}),
             0);
    QByteArray output;
    QCOMPARE(openssl(QStringList{"dgst", "-sha1"} + kPssOptions
                         + QStringList{"-verify", pem, "-signature", dataPath + ".sig", dataPath},
                     &output),
             0);
    QVERIFY2(output.contains("Verified OK"), output.constData());

    // The same check through pkeyutl over the digest.
    const QString digestPath = m_Dir.filePath(QStringLiteral("by-us.sha1"));
    QCOMPARE(openssl({"dgst", "-sha1", "-binary", "-out", digestPath, dataPath}), 0);
    QCOMPARE(openssl(QStringList{"pkeyutl", "-verify", "-pubin", "-inkey", pem, "-in", digestPath,
                                 "-sigfile", dataPath + ".sig", "-pkeyopt", "digest:sha1",
                                 "-pkeyopt", "rsa_padding_mode:pss", "-pkeyopt",
                                 "rsa_pss_saltlen:8", "-pkeyopt", "rsa_mgf1_md:sha1"}),
             0);
}

void TestCrypto::libraryErrorsBecomeExceptions()
{
    const QByteArray garbage("not a key at all");
    RsaKey key;
    QCOMPARE(thrown([&] { importPublicKey(key, bytes(garbage), length(garbage)); }),
             QStringLiteral("rsa_import: Invalid input packet."));
    QVERIFY(!key.isLoaded());
    // The library itself would abort the process on an empty key.
    QCOMPARE(thrown([&] { importPublicKey(key, bytes(garbage), 0); }),
             QStringLiteral("rsa_import: Invalid input packet."));

    const QByteArray publicDer = readFile(m_TestKeyDir + "/public.der");
    RsaKey notPrivate;
    QVERIFY(thrown([&] { importPrivateKey(notPrivate, bytes(publicDer), length(publicDer)); })
                .startsWith(QStringLiteral("rsa_import: ")));
    QVERIFY(!notPrivate.isLoaded());

    importPublicKey(key, bytes(publicDer), length(publicDer));
    QVERIFY(thrown([&] { sign(key, "data"); }).startsWith(QStringLiteral("rsa_sign_hash: ")));
    QVERIFY(thrown([&] { verify(key, "data", QByteArray(129, '\1')); })
                .startsWith(QStringLiteral("rsa_verify_hash: ")));
    QVERIFY(thrown([&] { verify(key, "data", QByteArray()); })
                .startsWith(QStringLiteral("rsa_verify_hash: ")));
}

// Ed25519 both ways against OpenSSL: its raw keys wrapped in the fixed DER
// prefixes of RFC 8410, signatures over the raw message (no digest first).
void TestCrypto::ed25519InteroperatesWithOpenssl()
{
    const QByteArray data("[product]\nversion=3000125\n");
    const QString dataPath = m_Dir.filePath(QStringLiteral("ed.ini"));
    writeFile(dataPath, data);
    auto asBytes = [](const auto& array) {
        return QByteArray(reinterpret_cast<const char*>(array.data()), static_cast<int>(array.size()));
    };

    // Ours signs, OpenSSL verifies; one changed byte fails.
    const ed25519::KeyPair ours = ed25519::makeKeyPair();
    const QString publicPath = m_Dir.filePath(QStringLiteral("ed-public.der"));
    writeFile(publicPath, QByteArray::fromHex("302a300506032b6570032100") + asBytes(ours.publicKey));
    writeFile(dataPath + ".ed", asBytes(ed25519::sign(ours.secretKey, bytes(data), data.size())));
    const QStringList verifyArgs{"pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey", publicPath,
                                 "-rawin", "-in", dataPath, "-sigfile", dataPath + ".ed"};
    QCOMPARE(openssl(verifyArgs), 0);
    writeFile(dataPath, data + ' ');
    QVERIFY(openssl(verifyArgs) != 0);
    writeFile(dataPath, data);

    // OpenSSL makes the key and signs, ours verifies.
    const QString privatePath = m_Dir.filePath(QStringLiteral("ed-private.der"));
    QCOMPARE(openssl({"genpkey", "-algorithm", "ed25519", "-outform", "DER", "-out", privatePath}), 0);
    const QByteArray privateDer = readFile(privatePath);
    QCOMPARE(privateDer.size(), 48);
    ed25519::SecretKey seed{};
    std::copy(privateDer.end() - 32, privateDer.end(), seed.begin());
    const ed25519::KeyPair theirs = ed25519::keyPairFromSecretKey(seed);
    QCOMPARE(openssl({"pkeyutl", "-sign", "-keyform", "DER", "-inkey", privatePath, "-rawin", "-in", dataPath,
                      "-out", dataPath + ".ed"}),
             0);
    const QByteArray signature = readFile(dataPath + ".ed");
    QCOMPARE(signature.size(), int(ed25519::kSignatureSize));
    ed25519::Signature theirSignature;
    std::copy(signature.begin(), signature.end(), theirSignature.begin());
    QVERIFY(ed25519::verify(theirs.publicKey, bytes(data), data.size(), theirSignature));
    QVERIFY(!ed25519::verify(theirs.publicKey, bytes(data), data.size() - 1, theirSignature));
    QVERIFY(!ed25519::verify(ours.publicKey, bytes(data), data.size(), theirSignature));
    // The same seed signs the same bytes alike on both sides.
    QCOMPARE(asBytes(ed25519::sign(theirs.secretKey, bytes(data), data.size())), signature);

    // The id: the first 8 bytes of the public key's SHA-512.
    const QString keyPath = m_Dir.filePath(QStringLiteral("ed-key.raw"));
    writeFile(keyPath, asBytes(ours.publicKey));
    QByteArray digest;
    QCOMPARE(openssl({"dgst", "-sha512", "-r", keyPath}, &digest), 0);
    QCOMPARE(QByteArray::fromStdString(ed25519::keyId(ours.publicKey)), digest.left(16));
}

// The modern signature file comes from the network: anything but the exact
// form is refused with its reason; lines of unknown algorithms are skipped.
void TestCrypto::signatureListsAreReadStrictly_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason"); // empty: read, with `entries` Ed25519 lines
    QTest::addColumn<int>("entries");
    const QByteArray id = "0123456789abcdef";
    const QByteArray signature(128, 'a');
    const QByteArray line = "ed25519 " + id + " " + signature + "\n";
    const QByteArray head = "voxaro-signatures 1\n";
    QTest::newRow("two keys") << head + line + line << QString() << 2;
    QTest::newRow("a later algorithm") << head + "mldsa65 " + id + " abcd\n" + line << QString() << 1;
    QTest::newRow("no entries") << head << QString() << 0;
    QTest::newRow("another format") << "voxaro-signatures 2\n" + line
                                    << "the signature list does not start with \"voxaro-signatures 1\"" << 0;
    QTest::newRow("no final line feed")
        << head + line.trimmed() << "the signature list does not end in a line feed" << 0;
    QTest::newRow("empty line") << head + "\n" + line
                                << "line 2 of the signature list is not \"<algorithm> <key id> <signature>\""
                                << 0;
    QTest::newRow("upper-case hex")
        << head + "ed25519 " + id.toUpper() + " " + signature + "\n"
        << "line 2 of the signature list holds a malformed Ed25519 key id or signature" << 0;
    QTest::newRow("short signature")
        << head + "ed25519 " + id + " " + signature.left(126) + "\n"
        << "line 2 of the signature list holds a malformed Ed25519 key id or signature" << 0;
    QTest::newRow("too many entries")
        << head + line.repeated(257) << "the signature list has more than 256 entries" << 0;
    QTest::newRow("too large") << head + QByteArray(64 * 1024, '\n')
                               << "the signature list has more than 65536 bytes" << 0;
}

void TestCrypto::signatureListsAreReadStrictly()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    QFETCH(int, entries);
    SignatureList list;
    std::string why;
    QCOMPARE(SignatureList::parse(text.toStdString(), list, why), reason.isEmpty());
    QCOMPARE(QString::fromStdString(why), reason);
    QCOMPARE(int(list.entries().size()), reason.isEmpty() ? entries : 0);
}

QTEST_GUILESS_MAIN(TestCrypto)
#include "tst_crypto.moc"
