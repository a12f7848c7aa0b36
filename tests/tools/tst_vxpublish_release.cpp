// vxpublish release on two real installation trees: the product ini read the
// way the updater reads it, every published file against the ini's hashes
// and sizes, containers and patches rebuilding the new files, the signature,
// the modern signatures by several keys, the pack modes, parallel jobs and the
// cache of patches, and the refusals.

#include "crypto.h"
#include "support/testfiles.h"
#include "toolrun.h"
#include "vxpatch/ensemble_patch.h"
#include "vxpatch/packed_file.h"

#include <algorithm>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kProduct = QStringLiteral("client_linux_amd64");
const QString kIniName = QStringLiteral("vx3_client_linux_amd64.ini");
const QString kProgram = QStringLiteral("vx3client_linux_amd64");

ToolRun vxpublish(const QStringList& args)
{
    return runTool(QStringLiteral(VXPUBLISH_BINARY), args);
}

QString sha512(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

// Compressible text whose lines change between versions.
QByteArray catalogue(int version)
{
    QByteArray text;
    for (int i = 0; i < 3000; ++i)
        text += "entry " + QByteArray::number(i) + " = " + QByteArray::number(i * version) + "\n";
    return text;
}

QByteArray noise(int size)
{
    QByteArray data;
    quint32 state = 12345;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data.append(char(state >> 24));
    }
    return data;
}

// The files of a release with their contents; RSA signatures only by name,
// since every signing salts its signature afresh.
QMap<QString, QByteArray> treeOf(const QString& dir)
{
    QMap<QString, QByteArray> tree = fileTree(dir);
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        if (it.key().endsWith(".sig"))
            it.value().clear();
    }
    return tree;
}

} // namespace

class TestVxpublishRelease final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void iniNamesTheReleaseAndEveryNewFile();
    void publishedFilesMatchTheirLines();
    void containersAndPatchesRebuildTheNewFiles();
    void signatureCoversTheUnpackedIni();
    void packModes();
    void jobsAndCache();
    void forgedCacheEntriesAreNeverPublished();
    void refusals();
    void namesReadAsAnotherKindAreRefused();

private:
    ToolRun refusedRelease(const QString& newDir, const QStringList& extra) const;
    void nothingWasPublished() const;
    QString path(const QString& name) const { return m_Dir.filePath(name); }
    QStringList releaseArgs(const QString& out) const;
    QString versionDir() const { return path("out/7"); }
    QString filesDir() const { return versionDir() + "/" + kProduct; }

    QTemporaryDir m_Dir;
    QSettings* m_Ini = nullptr;
    // Installed path -> content, for both trees.
    QMap<QString, QByteArray> m_Old;
    QMap<QString, QByteArray> m_New;
};

QStringList TestVxpublishRelease::releaseArgs(const QString& out) const
{
    return {"release",
            "--product",
            kProduct,
            "--version",
            "7",
            "--key",
            QStringLiteral(VX_TEST_SECRET_KEYS_DIR "/private.der"),
            "--ed25519-key",
            QStringLiteral(VX_TEST_SECRET_KEYS_DIR "/ed25519-a.secret"),
            "--ed25519-key",
            QStringLiteral(VX_TEST_SECRET_KEYS_DIR "/ed25519-b.secret"),
            "--new",
            path("new"),
            "--old",
            path("older"),
            "--old",
            path("old"),
            "--delete",
            "cache=2",
            "--out",
            out};
}

void TestVxpublishRelease::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    // The default cache, outside the served tree, for every run without --cache.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path("xdg-cache")));
    m_Old[kProgram] = readFile(QStringLiteral(FIXTURE_PROGRAM_V1));
    m_New[kProgram] = readFile(QStringLiteral(FIXTURE_PROGRAM_V2));
    QVERIFY(m_Old[kProgram].startsWith("\x7f" "ELF") && m_New[kProgram].startsWith("\x7f" "ELF"));
    QVERIFY(m_Old[kProgram] != m_New[kProgram]);
    m_Old["lib/data/catalogue.txt"] = catalogue(1);
    m_New["lib/data/catalogue.txt"] = catalogue(2);
    m_Old["readme"] = m_New["readme"] = "read me\n";
    m_Old["gone.txt"] = "no longer shipped\n";
    m_New["lib/noise.bin"] = noise(4000);
    m_New["lib/empty"] = QByteArray();
    for (auto it = m_Old.cbegin(); it != m_Old.cend(); ++it)
        writeFile(path("old/" + it.key()), it.value());
    for (auto it = m_New.cbegin(); it != m_New.cend(); ++it)
        writeFile(path("new/" + it.key()), it.value());
    // An even older release, listed first: it gives a second patch of the
    // catalogue, and what only it had is deleted too.
    writeFile(path("older/lib/data/catalogue.txt"), catalogue(3));
    writeFile(path("older/plugins/old.so"), "dropped two releases ago");

    const ToolRun run = vxpublish(releaseArgs(path("out")));
    QVERIFY2(run.status == 0 && run.err.isEmpty(), run.err.constData());
    QVERIFY2(run.out.contains("release 7"), run.out.constData());
    m_Ini = new QSettings(versionDir() + "/" + kIniName, QSettings::IniFormat, this);
    QCOMPARE(m_Ini->status(), QSettings::NoError);
}

void TestVxpublishRelease::iniNamesTheReleaseAndEveryNewFile()
{
    QCOMPARE(m_Ini->value("version").toString(), QStringLiteral("7"));
    QCOMPARE(m_Ini->value("product").toString(), kProduct);
    QCOMPARE(m_Ini->childGroups(), (QStringList{kProduct, "delete"}));

    // Installed path of every file line, as the updater derives it.
    m_Ini->beginGroup(kProduct);
    QMap<QString, QString> installedBy;
    QMap<QString, QString> patchFor;
    for (const QString& key : m_Ini->allKeys()) {
        const QStringList fields = m_Ini->value(key).toString().split("::");
        if (key.endsWith("_patch_")) {
            QCOMPARE(fields.size(), 5);
            patchFor[fields[4]] = key;
            continue;
        }
        QVERIFY2(fields.size() == 2 || fields.size() == 5, qPrintable(key));
        installedBy[fields.size() == 5 ? fields[4] : key] = key;
    }
    m_Ini->endGroup();
    QCOMPARE(installedBy.keys(), m_New.keys());

    QCOMPARE(installedBy["readme"], QStringLiteral("readme"));
    QCOMPARE(installedBy["lib/noise.bin"], QStringLiteral("lib/noise.bin"));
    QCOMPARE(installedBy["lib/empty"], QStringLiteral("lib/empty"));
    QCOMPARE(installedBy[kProgram], kProgram + "._lzma2_");
    QCOMPARE(installedBy["lib/data/catalogue.txt"], QStringLiteral("lib/data/catalogue.txt._lzma2_"));
    QCOMPARE(patchFor.keys(), (QStringList{"lib/data/catalogue.txt", kProgram}));

    m_Ini->beginGroup("delete");
    QCOMPARE(m_Ini->allKeys(), (QStringList{"cache", "gone.txt", "plugins", "plugins/old.so"}));
    QCOMPARE(m_Ini->value("cache").toInt(), 2);
    QCOMPARE(m_Ini->value("gone.txt").toInt(), 1);
    m_Ini->endGroup();
}

void TestVxpublishRelease::publishedFilesMatchTheirLines()
{
    m_Ini->beginGroup(kProduct);
    const QStringList keys = m_Ini->allKeys();
    for (const QString& key : keys) {
        const QStringList fields = m_Ini->value(key).toString().split("::");
        const QByteArray published = readFile(filesDir() + "/" + key);
        QVERIFY2(published != "<missing>", qPrintable(key));
        QCOMPARE(fields[0], sha512(published));
        QCOMPARE(fields[1], QString::number(published.size()));
        if (fields.size() == 2)
            QCOMPARE(published, m_New[key]);
    }
    m_Ini->endGroup();

    // Nothing but the listed files and the ini's three forms.
    QDir::Filters all = QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden;
    QCOMPARE(QDir(versionDir()).entryList(all), (QStringList{kProduct, kIniName, kIniName + "._lzma2_",
                                                             kIniName + ".sig", kIniName + ".signatures"}));
    int files = 0;
    for (QDirIterator it(filesDir(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext(); it.next())
        ++files;
    QCOMPARE(files, keys.size());
}

void TestVxpublishRelease::containersAndPatchesRebuildTheNewFiles()
{
    m_Ini->beginGroup(kProduct);
    int rebuilt = 0;
    for (const QString& key : m_Ini->allKeys()) {
        const QStringList fields = m_Ini->value(key).toString().split("::");
        if (fields.size() != 5)
            continue;
        const QString installed = fields[4];
        const QString result = path("rebuilt/" + key);
        QDir().mkpath(QFileInfo(result).path());
        const QByteArray source = (filesDir() + "/" + key).toUtf8();
        if (key.endsWith("_patch_")) {
            // From the newest older tree under "._patch_", from the older one
            // under the first hex digits of its file's hash.
            const QString tree = key.endsWith("._patch_") ? "old/" : "older/";
            const QByteArray base = readFile(path(tree + installed));
            QCOMPARE(fields[2], sha512(base));
            QCOMPARE(fields[3], QString::number(base.size()));
            if (tree == "older/")
                QCOMPARE(key, installed + "._" + sha512(base).left(16) + "_patch_");
            const QByteArray old = path(tree + installed).toUtf8();
            QCOMPARE(vxpatch::ApplyEnsemblePatch(old.constData(), source.constData(),
                                                 result.toUtf8().constData(), vxpatch::kNoOutputLimit),
                     vxpatch::STATUS_OK);
        } else {
            QVERIFY(key.endsWith("._lzma2_"));
            QCOMPARE(fields[2], sha512(m_New[installed]));
            QCOMPARE(fields[3], QString::number(m_New[installed].size()));
            QVERIFY(vxpatch::UnpackLzmaFile(source.constData(), result.toUtf8().constData(), vxpatch::kNoOutputLimit));
        }
        QVERIFY2(readFile(result) == m_New[installed], qPrintable(key));
        ++rebuilt;
    }
    m_Ini->endGroup();
    QCOMPARE(rebuilt, 5);
}

void TestVxpublishRelease::signatureCoversTheUnpackedIni()
{
    const QString ini = versionDir() + "/" + kIniName;
    const QString unpacked = path("unpacked.ini");
    QVERIFY(vxpatch::UnpackLzmaFile((ini + "._lzma2_").toUtf8().constData(), unpacked.toUtf8().constData(), vxpatch::kNoOutputLimit));
    const QByteArray text = readFile(unpacked);
    QCOMPARE(text, readFile(ini));
    QVERIFY(text.startsWith("version=7\nproduct=client_linux_amd64\n\n["));

    initCrypto();
    const QByteArray keyDer = readFile(QStringLiteral(VX_TEST_KEYS_DIR "/public.der"));
    RsaKey key;
    importPublicKey(key, reinterpret_cast<const unsigned char*>(keyDer.constData()), keyDer.size());
    const QByteArray signature = readFile(ini + ".sig");
    const auto verifies = [&](const QByteArray& data) {
        return verifySignature(key, reinterpret_cast<const unsigned char*>(data.constData()), data.size(),
                               reinterpret_cast<const unsigned char*>(signature.constData()),
                               signature.size());
    };
    QVERIFY(verifies(text));
    QByteArray replayed = text;
    replayed.replace("version=7", "version=8");
    QVERIFY(!verifies(replayed));

    // Both Ed25519 keys signed the same text, each line naming its key.
    const QByteArray modern = readFile(ini + ".signatures");
    QCOMPARE(modern.count('\n'), 3);
    writeFile(path("replayed/" + kIniName), replayed);
    writeFile(path("replayed/" + kIniName + ".signatures"), modern);
    for (const char* name : {"a", "b"}) {
        const QString publicKey = QStringLiteral(VX_TEST_KEYS_DIR "/ed25519-%1.public").arg(name);
        QCOMPARE(vxpublish({"verify", publicKey, ini}).status, 0);
        QCOMPARE(vxpublish({"verify", publicKey, path("replayed/" + kIniName)}).status, 1);
    }
}

void TestVxpublishRelease::packModes()
{
    // none: every line plain, so no patch can link to one.
    ToolRun run = vxpublish(releaseArgs(path("none")) << "--pack"
                                                      << "none");
    QVERIFY2(run.status == 0, run.err.constData());
    QSettings none(path("none/7/") + kIniName, QSettings::IniFormat);
    none.beginGroup(kProduct);
    QCOMPARE(none.allKeys(), QStringList(m_New.keys()));
    for (const QString& key : none.allKeys())
        QCOMPARE(readFile(path("none/7/") + kProduct + "/" + key), m_New[key]);

    // all: every file packed, the empty one too; patches as before.
    run = vxpublish(releaseArgs(path("all")) << "--pack=all");
    QVERIFY2(run.status == 0, run.err.constData());
    QSettings all(path("all/7/") + kIniName, QSettings::IniFormat);
    all.beginGroup(kProduct);
    int packed = 0;
    for (const QString& key : all.allKeys())
        packed += key.endsWith("._lzma2_") ? 1 : 0;
    QCOMPARE(packed, m_New.size());
    QCOMPARE(all.allKeys().size(), m_New.size() + 3); // two patches of the catalogue, one of the program

    // Patches from the newest older tree only.
    run = vxpublish(releaseArgs(path("last1")) << "--patch-from-last"
                                               << "1");
    QVERIFY2(run.status == 0, run.err.constData());
    QSettings last1(path("last1/7/") + kIniName, QSettings::IniFormat);
    last1.beginGroup(kProduct);
    const QStringList patches = last1.allKeys().filter(QRegularExpression("_patch_$"));
    QCOMPARE(patches, (QStringList{"lib/data/catalogue.txt._patch_", kProgram + "._patch_"}));

    // Unrelated noise: its patch is no smaller than its container, so only
    // --patch always publishes it.
    QByteArray reversed = noise(4000);
    std::reverse(reversed.begin(), reversed.end());
    writeFile(path("noise-old/noise.bin"), noise(4000));
    writeFile(path("noise-new/noise.bin"), reversed);
    for (const char* mode : {"smaller", "always"}) {
        const QString out = path(QString("patch-") + mode);
        run = vxpublish(QStringList{"release", "--product", kProduct, "--version", "7", "--key",
                                    QStringLiteral(VX_TEST_SECRET_KEYS_DIR "/private.der"), "--new",
                                    path("noise-new"), "--old", path("noise-old"), "--out", out, "--patch",
                                    mode});
        QVERIFY2(run.status == 0, run.err.constData());
        QCOMPARE(QFileInfo::exists(out + "/7/" + kProduct + "/noise.bin._patch_"), mode == QString("always"));
        // No Ed25519 key: no modern signatures, and the summary says so.
        QVERIFY(!QFileInfo::exists(out + "/7/" + kIniName + ".signatures"));
        QVERIFY2(run.out.contains("signed with RSA only"), run.out.constData());
    }
    QVERIFY(vxpublish(releaseArgs(path("refused")) << "--patch"
                                                   << "sometimes")
                .status
            == 2);
}

void TestVxpublishRelease::jobsAndCache()
{
    const auto release = [&](const QString& out, const QString& jobs, const QString& cache) {
        const ToolRun run = vxpublish(releaseArgs(path(out)) << "--jobs" << jobs << "--cache" << path(cache));
        return run.status == 0 && run.err.isEmpty() ? run.out : "failed: " + run.err;
    };
    // Not a terminal: a line per file, then the summary.
    const QByteArray first = release("jobs1", "1", "cache-a");
    QCOMPARE(first.count("\n["), m_New.size() - 1);
    QVERIFY2(first.startsWith("[1/5] ") && first.contains("\n[5/5] "), first.constData());
    QVERIFY2(first.contains("patches: 3 made, 0 from cache; signed with RSA and 2 Ed25519 keys\n"),
             first.constData());
    QVERIFY2(release("jobs3", "3", "cache-b").contains("patches: 3 made, 0 from cache"), "jobs 3");
    QVERIFY2(release("again", "3", "cache-a").contains("patches: 0 made, 3 from cache"), "repeated");

    // A damaged entry is made again; the release does not change.
    const QStringList entries = QDir(path("cache-a")).entryList(QDir::Files);
    QCOMPARE(entries.size(), m_New.size() + 3); // a container of every file, three patches
    for (const QString& entry : entries) {
        QFile file(path("cache-a/" + entry));
        QVERIFY(file.open(QIODevice::ReadWrite) && file.resize(file.size() - 1));
    }
    QVERIFY2(release("damaged", "2", "cache-a").contains("patches: 3 made, 0 from cache"), "damaged");
    QVERIFY2(release("mended", "2", "cache-a").contains("patches: 0 made, 3 from cache"), "mended");

    const auto reference = treeOf(path("jobs1/7"));
    QVERIFY(reference.size() > m_New.size());
    for (const char* out : {"jobs3", "again", "damaged", "mended"})
        QVERIFY2(treeOf(path(QString(out) + "/7")) == reference, out);
    // The first release kept its cache in the user's cache, not in the tree it serves.
    QVERIFY(!QDir(path("xdg-cache/vxpublish")).entryList(QDir::Files).isEmpty());
    QCOMPARE(QDir(path("out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"7"});
}

// Whoever can write the cache can write whole entries whose headers match:
// every entry is checked against what it must give before it is published.
void TestVxpublishRelease::forgedCacheEntriesAreNeverPublished()
{
    const QString cache = path("forged-cache");
    ToolRun run = vxpublish(releaseArgs(path("forge-clean")) << "--cache" << cache);
    QVERIFY2(run.status == 0, run.err.constData());
    // Each entry gets the next one's whole content: a well-formed entry,
    // another file's container or patch.
    QStringList entries = QDir(cache).entryList(QDir::Files);
    QCOMPARE(entries.size(), m_New.size() + 3);
    const QByteArray first = readFile(cache + "/" + entries.first());
    for (int i = 0; i < entries.size(); ++i)
        writeFile(cache + "/" + entries[i],
                  i + 1 < entries.size() ? readFile(cache + "/" + entries[i + 1]) : first);

    run = vxpublish(releaseArgs(path("forge-used")) << "--cache" << cache);
    QVERIFY2(run.status == 0, run.err.constData());
    QVERIFY2(run.out.contains("patches: 3 made, 0 from cache"), run.out.constData());
    QVERIFY2(run.err.contains("did not check out; it was made anew"), run.err.constData());
    QVERIFY(treeOf(path("forge-used/7")) == treeOf(path("forge-clean/7")));
}

// A release of version 9 into "refused", where nothing may ever appear.
ToolRun TestVxpublishRelease::refusedRelease(const QString& newDir, const QStringList& extra) const
{
    return vxpublish(QStringList{"release", "--product", kProduct, "--version", "9", "--key",
                                 QStringLiteral(VX_TEST_SECRET_KEYS_DIR "/private.der"), "--new", newDir,
                                 "--out", path("refused")}
                     + extra);
}

void TestVxpublishRelease::nothingWasPublished() const
{
    QVERIFY(!QFileInfo::exists(path("refused/9/") + kIniName + "._lzma2_"));
    QCOMPARE(QDir(path("refused/9")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void TestVxpublishRelease::refusals()
{
    struct Case
    {
        const char* what;
        ToolRun run;
        int status;
    };
    writeFile(path("oddname/a,b.txt"), "x");
    writeFile(path("clash/x"), "x");
    writeFile(path("clash/x._lzma2_"), "y");
    writeFile(path("kind/lib"), "a file where the new tree has a directory");
    QVERIFY(QDir().mkpath(path("emptytree")));
    const Case cases[] = {
        {"published release", vxpublish(releaseArgs(path("out"))), 2},
        {"no key",
         vxpublish({"release", "--product", kProduct, "--version", "9", "--new", path("new"), "--out",
                    path("refused")}),
         2},
        {"public key", refusedRelease(path("new"), {"--key", QStringLiteral(VX_TEST_KEYS_DIR "/public.der")}),
         2},
        {"leading zero",
         vxpublish(releaseArgs(path("refused")).replaceInStrings(QRegularExpression("^7$"), "07")), 2},
        {"unknown product",
         vxpublish(releaseArgs(path("refused")).replaceInStrings("client_linux", "server_linux")), 2},
        {"bad pack", refusedRelease(path("new"), {"--pack", "some"}), 2},
        {"no jobs", refusedRelease(path("new"), {"--jobs", "0"}), 2},
        {"bad delete value", refusedRelease(path("new"), {"--delete", "cache=3"}), 2},
        {"delete escapes", refusedRelease(path("new"), {"--delete", "../etc"}), 2},
        {"missing tree", refusedRelease(path("nothing"), {}), 2},
        {"name the ini cannot carry", refusedRelease(path("oddname"), {}), 1},
        {"temporary names meet", refusedRelease(path("clash"), {}), 1},
        {"delete what is installed", refusedRelease(path("new"), {"--delete", "lib=2"}), 1},
        {"file becomes directory", refusedRelease(path("new"), {"--old", path("kind")}), 1},
        {"file of an older release becomes directory",
         refusedRelease(path("new"), {"--old", path("kind"), "--old", path("old")}), 1},
        {"no patches from none", refusedRelease(path("new"), {"--patch-from-last", "0"}), 2},
        {"nothing to publish", refusedRelease(path("emptytree"), {}), 1},
        {"signer answers garbage",
         refusedRelease(path("new"), {"--ed25519-signer",
                                      QStringLiteral(VX_TEST_KEYS_DIR "/ed25519-a.public=echo garbage")}),
         2},
        {"signer answers no valid signature",
         refusedRelease(
             path("new"),
             {"--ed25519-signer", QStringLiteral(VX_TEST_KEYS_DIR "/ed25519-b.public=head -c 64 /dev/zero")}),
         2},
    };
    for (const Case& c : cases) {
        QVERIFY2(c.run.status == c.status, c.what);
        QVERIFY2(oneLineReason(c.run.err), c.what);
    }
    nothingWasPublished();
}

// Names whose lines the updater would read as another kind (a key ending in
// "_patch_" is a patch line), as files and as deletions.
void TestVxpublishRelease::namesReadAsAnotherKindAreRefused()
{
    for (const QString name : {"x._patch_", "foo_patch_", "lib/_patch_"}) {
        const QString tree = path("misread/" + QString(name).replace('/', '-'));
        writeFile(tree + "/" + name, "x");
        for (const ToolRun& run :
             {refusedRelease(tree, {}), refusedRelease(path("new"), {"--delete", name})}) {
            QVERIFY2(run.status == 1 && oneLineReason(run.err), qPrintable(name));
            QVERIFY2(run.err.contains("would not read its line as"), run.err.constData());
        }
    }
    nothingWasPublished();
}

QTEST_GUILESS_MAIN(TestVxpublishRelease)
#include "tst_vxpublish_release.moc"
