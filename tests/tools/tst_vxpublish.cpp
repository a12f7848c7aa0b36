// The built vxpublish program: key generation (RSA and Ed25519), key ids,
// signing and verification,
// exit statuses 0/1/2 and their one-line reasons, and key files that are not
// usable keys refused by every command that reads one, private keys that
// others may read refused, and keys sealed with a passphrase.

#include "support/testfiles.h"
#include "toolrun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

ToolRun vxpublish(const QStringList& args, const QByteArray& input = QByteArray())
{
    return runTool(QStringLiteral(VXPUBLISH_BINARY), args, input);
}

// A file of its owner's alone, as private keys and passphrases must be.
void writePrivateFile(const QString& path, const QByteArray& data)
{
    writeFile(path, data);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
}

} // namespace

class TestVxpublish final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keygenWritesPairAndNeverOverwrites();
    void keyIdsOfBothKindsOfKey();
    void signedFileVerifies();
    void changedFileOrOtherKeyIsInvalid();
    void unreadableInputsAreErrors();
    void usageErrors();
    void badKeysAreRefused_data();
    void badKeysAreRefused();
    void privateKeysOthersMayReadAreRefused();
    void sealedKeysOpenWithTheirPassphraseOnly_data();
    void sealedKeysOpenWithTheirPassphraseOnly();

private:
    QString path(const char* name) const { return m_Dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_Dir;
};

void TestVxpublish::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    const ToolRun run = vxpublish({"keygen", path("private.der"), path("public.der")});
    QCOMPARE(run.status, 0);
    QVERIFY2(run.err.isEmpty(), run.err.constData());
}

void TestVxpublish::keygenWritesPairAndNeverOverwrites()
{
    QCOMPARE(QFileInfo(path("public.der")).size(), 140);
    QVERIFY(QFileInfo(path("private.der")).size() > 140);
    QCOMPARE(QFile::permissions(path("private.der")) & 0x0077, QFile::Permissions());

    const QByteArray privateBefore = readFile(path("private.der"));
    const ToolRun again = vxpublish({"keygen", path("private.der"), path("other-public.der")});
    QCOMPARE(again.status, 2);
    QVERIFY2(oneLineReason(again.err), again.err.constData());
    QCOMPARE(readFile(path("private.der")), privateBefore);
    QVERIFY(!QFile::exists(path("other-public.der")));

    // The public file is in the way: no half pair is left behind.
    writeFile(path("taken.der"), "x");
    QCOMPARE(vxpublish({"keygen", path("lone-private.der"), path("taken.der")}).status, 2);
    QVERIFY(!QFile::exists(path("lone-private.der")));
}

// The ids the updater prints with --key-fingerprints: the first 8 bytes of the
// SHA-512 of the public key, whichever half of the pair is named.
void TestVxpublish::keyIdsOfBothKindsOfKey()
{
    QCOMPARE(vxpublish({"keygen", "--ed25519", path("k.secret"), path("k.public")}).status, 0);
    QCOMPARE(QFile::permissions(path("k.secret")) & 0x0077, QFile::Permissions());
    const QByteArray line = readFile(path("k.public"));
    QVERIFY2(QRegularExpression("^ed25519 [0-9a-f]{64}\n$").match(QString::fromLatin1(line)).hasMatch(),
             line.constData());
    const auto id = [](const QByteArray& key) {
        return QCryptographicHash::hash(key, QCryptographicHash::Sha512).left(8).toHex();
    };
    const QByteArray ed25519 = "ed25519 " + id(QByteArray::fromHex(line.mid(8, 64))) + "\n";
    const QByteArray rsa = "rsa-1024 " + id(readFile(path("public.der"))) + "\n";
    for (const auto& [file, expected] :
         {std::make_pair("k.public", ed25519), std::make_pair("k.secret", ed25519),
          std::make_pair("public.der", rsa), std::make_pair("private.der", rsa)}) {
        const ToolRun run = vxpublish({"keyid", path(file)});
        QVERIFY2(run.status == 0 && run.out == expected, file);
    }
    // A second Ed25519 pair never overwrites the first.
    QCOMPARE(vxpublish({"keygen", "--ed25519", path("k.secret"), path("k2.public")}).status, 2);
    QCOMPARE(readFile(path("k.public")), line);
}

void TestVxpublish::signedFileVerifies()
{
    writeFile(path("product.ini"), "[product]\nversion=3000125\n");
    const ToolRun sign = vxpublish({"sign", path("private.der"), path("product.ini")});
    QCOMPARE(sign.status, 0);
    QCOMPARE(readFile(path("product.ini.sig")).size(), 128);
    const ToolRun verify = vxpublish({"verify", path("public.der"), path("product.ini")});
    QCOMPARE(verify.status, 0);
    QVERIFY(verify.err.isEmpty());

    // Signing again replaces the old signature; randomised salt, still valid.
    const QByteArray first = readFile(path("product.ini.sig"));
    QCOMPARE(vxpublish({"sign", path("private.der"), path("product.ini")}).status, 0);
    QVERIFY(readFile(path("product.ini.sig")) != first);
    QCOMPARE(vxpublish({"verify", path("public.der"), path("product.ini")}).status, 0);

    writeFile(path("empty"), QByteArray());
    QCOMPARE(vxpublish({"sign", path("private.der"), path("empty")}).status, 0);
    QCOMPARE(vxpublish({"verify", path("public.der"), path("empty")}).status, 0);
}

void TestVxpublish::changedFileOrOtherKeyIsInvalid()
{
    writeFile(path("data"), "original");
    QCOMPARE(vxpublish({"sign", path("private.der"), path("data")}).status, 0);
    const QByteArray signature = readFile(path("data.sig"));

    writeFile(path("data"), "originaL");
    ToolRun run = vxpublish({"verify", path("public.der"), path("data")});
    QCOMPARE(run.status, 1);
    QVERIFY2(oneLineReason(run.err), run.err.constData());

    writeFile(path("data"), "original");
    writeFile(path("data.sig"), signature + '\0');
    run = vxpublish({"verify", path("public.der"), path("data")});
    QCOMPARE(run.status, 1);
    QVERIFY2(oneLineReason(run.err), run.err.constData());

    writeFile(path("data.sig"), signature);
    QCOMPARE(vxpublish({"keygen", path("second-private.der"), path("second-public.der")}).status, 0);
    QCOMPARE(vxpublish({"verify", path("second-public.der"), path("data")}).status, 1);
    QCOMPARE(vxpublish({"verify", path("public.der"), path("data")}).status, 0);
}

void TestVxpublish::unreadableInputsAreErrors()
{
    writeFile(path("unsigned"), "content");
    ToolRun run = vxpublish({"verify", path("public.der"), path("unsigned")});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains("unsigned.sig"), run.err.constData());
    QVERIFY(oneLineReason(run.err));

    run = vxpublish({"sign", path("no-such-key.der"), path("unsigned")});
    QCOMPARE(run.status, 2);
    QVERIFY2(oneLineReason(run.err), run.err.constData());
    QVERIFY(!QFile::exists(path("unsigned.sig")));

    run = vxpublish({"sign", path("private.der"), path("no-such-file")});
    QCOMPARE(run.status, 2);
    QVERIFY(!QFile::exists(path("no-such-file.sig")));

    // A public key cannot sign, and a data file is not a key.
    run = vxpublish({"sign", path("public.der"), path("unsigned")});
    QCOMPARE(run.status, 2);
    QVERIFY2(oneLineReason(run.err), run.err.constData());
    writeFile(path("unsigned.sig"), QByteArray(128, '\1'));
    run = vxpublish({"verify", path("unsigned"), path("unsigned")});
    QCOMPARE(run.status, 2);
    QVERIFY2(oneLineReason(run.err), run.err.constData());
}

void TestVxpublish::usageErrors()
{
    for (const QStringList& args :
         {QStringList{}, QStringList{"frobnicate"}, QStringList{"sign", path("private.der")},
          QStringList{"verify", path("public.der"), path("data"), path("data")},
          QStringList{"keygen", path("only-one.der")}}) {
        const ToolRun run = vxpublish(args);
        QCOMPARE(run.status, 2);
        QVERIFY2(oneLineReason(run.err), run.err.constData());
        QVERIFY2(run.err.contains("usage"), run.err.constData());
    }
    QVERIFY(!QFile::exists(path("only-one.der")));
}

// DER by hand: a SEQUENCE of INTEGERs, enough for keys of any shape.
QByteArray derInteger(const QByteArray& bigEndian)
{
    return QByteArray("\x02") + char(bigEndian.size()) + bigEndian;
}

QByteArray derSequence(const QByteArray& content)
{
    return QByteArray("\x30") + char(content.size()) + content;
}

void TestVxpublish::badKeysAreRefused_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("reason");
    const QByteArray privateDer = readFile(path("private.der"));
    const QByteArray publicDer = readFile(path("public.der"));
    const QByteArray one("\x01", 1);
    QTest::newRow("empty") << QByteArray() << QByteArray("is empty");
    QTest::newRow("cut short") << privateDer.left(privateDer.size() / 2) << QByteArray("not a DER RSA key");
    QTest::newRow("garbage") << QByteArray(300, '\x5a') << QByteArray("not a DER RSA key");
    QTest::newRow("64-bit key")
        << derSequence(derInteger(QByteArray::fromHex("00c000000000000001"))
                       + derInteger(QByteArray::fromHex("010001")))
        << QByteArray("64-bit key");
    // All nine parts present but none of them belonging together.
    QTest::newRow("private parts of zero")
        << derSequence(derInteger(QByteArray(1, '\0')).repeated(9)) << QByteArray("0-bit key");
    // publicDer: SEQUENCE (3 bytes of head), then the modulus as one INTEGER of 132 bytes.
    QByteArray mismatched = derInteger(QByteArray(1, '\0')) + publicDer.mid(3, 132)
        + derInteger(QByteArray::fromHex("010001"));
    for (int i = 0; i < 6; ++i)
        mismatched += derInteger(one);
    QTest::newRow("private parts not matching")
        << QByteArray("\x30\x81") + char(mismatched.size()) + mismatched << QByteArray("damaged private key");
    // Only for the signing commands: verify takes a public key.
    QTest::newRow("public key") << publicDer << QByteArray("signing needs the private key");
}

void TestVxpublish::badKeysAreRefused()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, reason);
    writePrivateFile(path("bad.der"), key);
    writeFile(path("bad-data"), "data");
    writeFile(path("bad-new/file"), "content");
    const bool forSigning = reason.contains("private");
    QList<QStringList> commands{
        {"sign", path("bad.der"), path("bad-data")},
        {"release", "--product", "client_linux_amd64", "--version", "1", "--key", path("bad.der"),
         "--new", path("bad-new"), "--out", path("bad-out")}};
    if (!forSigning) {
        writeFile(path("bad-data.sig"), QByteArray(128, '\1'));
        commands.append({"verify", path("bad.der"), path("bad-data")});
    }
    for (const QStringList& args : commands) {
        const ToolRun run = vxpublish(args);
        QVERIFY2(run.status == 2, qPrintable(args.first()));
        QVERIFY2(oneLineReason(run.err) && run.err.contains(reason), run.err.constData());
        QVERIFY2(run.err.contains(path("bad.der").toUtf8()), run.err.constData());
    }
    QVERIFY(!QFile::exists(path("bad-out")));
    QVERIFY(QFile::remove(path("bad-data.sig")) || forSigning);
}

void TestVxpublish::privateKeysOthersMayReadAreRefused()
{
    writeFile(path("shared.der"), readFile(path("private.der")));
    QVERIFY(
        QFile::setPermissions(path("shared.der"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    writeFile(path("data"), "data");
    const ToolRun run = vxpublish({"sign", path("shared.der"), path("data")});
    QCOMPARE(run.status, 2);
    QVERIFY2(oneLineReason(run.err) && run.err.contains("other users may access it (mode 0604)"),
             run.err.constData());
}

void TestVxpublish::sealedKeysOpenWithTheirPassphraseOnly_data()
{
    QTest::addColumn<QStringList>("passphrase"); // options of the release
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reason"); // empty: the release is made
    const QString file = path("passphrase");
    QTest::newRow("from a file") << QStringList{"--passphrase-file", file} << QByteArray() << QByteArray();
    QTest::newRow("from a descriptor")
        << QStringList{"--passphrase-fd", "0"} << QByteArray("open sesame\n") << QByteArray();
    QTest::newRow("none") << QStringList() << QByteArray() << QByteArray("is sealed with a passphrase");
    QTest::newRow("wrong") << QStringList{"--passphrase-fd", "0"} << QByteArray("open sesame!\n")
                           << QByteArray("does not open with this passphrase");
    QTest::newRow("empty") << QStringList{"--passphrase-fd", "0"} << QByteArray("\n")
                           << QByteArray("is empty");
    QTest::newRow("file others may read") << QStringList{"--passphrase-file", path("shared-passphrase")}
                                          << QByteArray() << QByteArray("other users may access it");
}

void TestVxpublish::sealedKeysOpenWithTheirPassphraseOnly()
{
    QFETCH(QStringList, passphrase);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reason);
    if (!QFile::exists(path("sealed.secret"))) {
        writePrivateFile(path("passphrase"), "open sesame\n");
        writeFile(path("shared-passphrase"), "open sesame\n");
        QCOMPARE(vxpublish({"keygen", "--ed25519", "--passphrase-file", path("passphrase"),
                            path("sealed.secret"), path("sealed.public")})
                     .status,
                 0);
        QVERIFY(readFile(path("sealed.secret")).startsWith("vxpublish-sealed-key 1 argon2id13 "));
        QCOMPARE(vxpublish({"seal", "--passphrase-file", path("passphrase"), path("private.der"),
                            path("sealed.der")})
                     .status,
                 0);
        writeFile(path("sealed-new/file"), "content");
    }
    const QString out = path("sealed-out-") + QTest::currentDataTag();
    const ToolRun run =
        vxpublish(QStringList{"release", "--product", "client_linux_amd64", "--version", "1", "--key",
                              path("sealed.der"), "--ed25519-key", path("sealed.secret"), "--new",
                              path("sealed-new"), "--out", out}
                      + passphrase,
                  input);
    if (reason.isEmpty()) {
        QVERIFY2(run.status == 0, run.err.constData());
        QCOMPARE(vxpublish({"verify", path("sealed.public"), out + "/1/vx3_client_linux_amd64.ini"}).status,
                 0);
        QCOMPARE(vxpublish({"verify", path("public.der"), out + "/1/vx3_client_linux_amd64.ini"}).status, 0);
    } else {
        QCOMPARE(run.status, 2);
        QVERIFY2(oneLineReason(run.err) && run.err.contains(reason), run.err.constData());
        QVERIFY(!QFile::exists(out + "/1/vx3_client_linux_amd64.ini._lzma2_"));
    }
}

QTEST_GUILESS_MAIN(TestVxpublish)
#include "tst_vxpublish.moc"
