// Installations that skipped releases: version 4, published by the real
// publisher tool with patches from versions 1, 2 and 3, brings an
// installation at any of them to version 4 exactly in a step-two session of
// the real engine, fetching for each changed file the patch made from the
// installed version, or the container where none was (a file changed by
// hand). What versions 2 and 3 deleted goes too. Updaters that keep one
// patch per file keep the one their INI reader returns last: the patch from
// version 3.
#include "support/httptestserver.h"
#include "support/releasesession.h"
#include "support/testfiles.h"
#include "support/testkey.h"
#include "updateinidata.h"

#include <QtTest>

namespace {

const QString kProduct = QStringLiteral("client_linux_amd64");
const QString kBase = QStringLiteral("/updater-images/client/4/client_linux_amd64/");

// Incompressible bytes with a few edits per version: a patch from any
// version is far smaller than the container.
QByteArray versionedNoise(quint32 seed, int version)
{
    QByteArray data(40000, '\0');
    quint32 state = seed;
    for (char& byte : data) {
        state = state * 1103515245u + 12345u;
        byte = char(state >> 24);
    }
    for (int v = 2; v <= version; ++v) {
        for (int at = v * 977; at < data.size(); at += 6007)
            data[at] = char(data[at] ^ (0x11 * v));
    }
    return data;
}

QMap<QString, QByteArray> versionFiles(int version)
{
    QMap<QString, QByteArray> files;
    files["data/catalogue.bin"] = versionedNoise(7, version);
    files["bin/program"] = versionedNoise(99, version);
    files["data/readme.txt"] = "version " + QByteArray::number(version) + "\n";
    files["data/same.txt"] = sampleText("same ", 200);
    if (version == 1) {
        files["data/obsolete.txt"] = "gone in version 2\n";
        files["plugins/old/plugin.txt"] = "a plugin dropped in version 2\n";
    }
    if (version >= 3)
        files["data/added.txt"] = "new in version 3\n";
    return files;
}

// The key of the patch of `path` from `version`: the newest older version's
// is "<path>._patch_", the others carry the first hex digits of their base.
QString patchKey(const QString& path, int version)
{
    if (version == 3)
        return path + "._patch_";
    return path + "._" + sha512(versionFiles(version).value(path)).left(16) + "_patch_";
}

} // namespace

class TestSkippedReleases final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void updatesFromEachEarlierVersion_data();
    void updatesFromEachEarlierVersion();
    void oldUpdatersKeepTheNewestPatch();

private:
    QTemporaryDir m_Root;
    HttpTestServer m_Http;
};

void TestSkippedReleases::initTestCase()
{
    QVERIFY(m_Root.isValid());
    for (int version = 1; version <= 4; ++version) {
        const QMap<QString, QByteArray> files = versionFiles(version);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            writeFile(m_Root.filePath(QString("v%1/").arg(version) + it.key()), it.value());
    }
    const QString out = m_Root.filePath("server/updater-images/client");
    QProcess tool;
    tool.start(QStringLiteral(VXPUBLISH_BINARY),
               {"release", "--product", kProduct, "--version", "4", "--key", QStringLiteral(TEST_PRIVATE_KEY),
                "--new", m_Root.filePath("v4"), "--old", m_Root.filePath("v1"), "--old",
                m_Root.filePath("v2"), "--old", m_Root.filePath("v3"), "--out", out});
    QVERIFY(tool.waitForFinished(300000));
    QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());

    QVERIFY(m_Http.listen());
    serveTree(&m_Http, "/updater-images/client/", out);
    qputenv("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    qputenv("VX3_UPDATE_BASE_URL", m_Http.url("/updater-images/client/").toUtf8());
}

void TestSkippedReleases::updatesFromEachEarlierVersion_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("modified"); // the catalogue changed by hand
    QTest::addColumn<QStringList>("fetched");

    const QString catalogue = "data/catalogue.bin";
    const QString program = "bin/program";
    QTest::newRow("version 1") << 1 << false
                               << QStringList{patchKey(catalogue, 1), patchKey(program, 1), "data/added.txt",
                                              "data/readme.txt"};
    QTest::newRow("version 2") << 2 << false
                               << QStringList{patchKey(catalogue, 2), patchKey(program, 2), "data/added.txt",
                                              "data/readme.txt"};
    QTest::newRow("version 3") << 3 << false
                               << QStringList{patchKey(catalogue, 3), patchKey(program, 3),
                                              "data/readme.txt"};
    QTest::newRow("version 2, catalogue changed")
        << 2 << true
        << QStringList{catalogue + "._lzma2_", patchKey(program, 2), "data/added.txt", "data/readme.txt"};
}

void TestSkippedReleases::updatesFromEachEarlierVersion()
{
    QFETCH(int, version);
    QFETCH(bool, modified);
    QFETCH(QStringList, fetched);

    const QString run = m_Root.filePath(QString("run-%1-%2").arg(version).arg(modified));
    const QString install = run + "/install";
    const QMap<QString, QByteArray> files = versionFiles(version);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        writeFile(install + "/" + it.key(), it.value());
    if (modified)
        writeFile(install + "/data/catalogue.bin", "changed by hand\n");
    for (const char* dir : {"/tmp/voxaro_temp_0", "/config"})
        QVERIFY(QDir().mkpath(run + dir));
    qputenv("TMPDIR", QFile::encodeName(run + "/tmp"));
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(run + "/config"));
    UpdateIniData::modify(4, run + "/tmp/voxaro_temp_0", install, kProduct);
    const int requestsBefore = m_Http.requestPaths().size();

    const SessionResult s = runSession({"--clientupdate", kProduct, "4", "4.0"});
    QVERIFY2(s.finished && s.errors.isEmpty(), qPrintable(s.messages.join('\n')));
    QCOMPARE(fileTree(install), fileTree(m_Root.filePath("v4")));
    QVERIFY(!QFileInfo::exists(install + "/plugins"));

    QStringList requested = m_Http.requestPaths().mid(requestsBefore);
    requested.removeAll("/updater-images/client/4/vx3_client_linux_amd64.ini._lzma2_");
    requested.removeAll("/updater-images/client/4/vx3_client_linux_amd64.ini.sig");
    requested.removeAll("/updater-images/client/4/vx3_client_linux_amd64.ini.signatures");
    requested.sort();
    QStringList expected;
    for (const QString& name : fetched)
        expected << kBase + name;
    expected.sort();
    QCOMPARE(requested, expected);
}

void TestSkippedReleases::oldUpdatersKeepTheNewestPatch()
{
    // The reader updaters use; each keeps the last patch line per installed
    // path, in the order the reader returns the keys.
    QSettings ini(m_Root.filePath("server/updater-images/client/4/vx3_client_linux_amd64.ini"),
                  QSettings::IniFormat);
    ini.beginGroup(kProduct);
    QMap<QString, QString> keptBase;
    int patches = 0;
    for (const QString& key : ini.allKeys()) {
        const QStringList fields = ini.value(key).toString().split("::");
        if (key.endsWith("_patch_")) {
            keptBase[fields.value(4)] = fields.value(2);
            ++patches;
        }
    }
    QCOMPARE(patches, 6);
    QCOMPARE(keptBase.keys(), (QStringList{"bin/program", "data/catalogue.bin"}));
    for (auto it = keptBase.cbegin(); it != keptBase.cend(); ++it)
        QCOMPARE(it.value(), sha512(versionFiles(3).value(it.key())));

    ini.endGroup();
    ini.beginGroup("delete");
    QCOMPARE(ini.allKeys(),
             (QStringList{"data/obsolete.txt", "plugins", "plugins/old", "plugins/old/plugin.txt"}));
}

QTEST_MAIN(TestSkippedReleases)
#include "tst_skippedreleases.moc"
