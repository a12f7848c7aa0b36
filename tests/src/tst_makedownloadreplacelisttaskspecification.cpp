// Building the download, replace and delete lists from a product ini against
// a real installation and temporary directory: hash comparisons, the choice
// of patches, the copies of unchanged updater files, files already
// downloaded, refused lines, and the hand-over to the shared lists.

#include "configuration.h"
#include "downloadreplacelists.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "support/testfiles.h"
#include "support/testkey.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList texts(const QSignalSpy& spy)
{
    QStringList result;
    for (const QList<QVariant>& args : spy)
        result.append(args.at(0).toString());
    return result;
}

const QByteArray kOld = "old content of the file\n";
const QByteArray kNew = "new content of the file, one line longer\nsecond line\n";
const QByteArray kPacked = "stands for the packed form of the new content";
const QByteArray kPatch = "stands for a patch from old to new";

// A 5-field value: download hash and size, installed hash and size, install path.
QByteArray fiveFields(const QByteArray& download, const QByteArray& installed,
                      const QString& installName)
{
    return (sha512(download) + "::" + QString::number(download.size()) + "::" + sha512(installed)
            + "::" + QString::number(installed.size()) + "::" + installName)
        .toUtf8();
}

QByteArray twoFields(const QByteArray& content)
{
    return (sha512(content) + "::" + QString::number(content.size())).toUtf8();
}

} // namespace

class TestMakeDownloadReplaceList final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void deleteSectionOnly();
    void plainFileJudgedByItsHashInAnyCase();
    void packedFileJudgedByInstalledHash();
    void patchOnlyForTheInstalledVersion_data();
    void patchOnlyForTheInstalledVersion();
    void upToDateFilesCopiedInFirstStepOnly_data();
    void upToDateFilesCopiedInFirstStepOnly();
    void intactDownloadNotFetchedAgain();
    void emptyIniFails_data();
    void emptyIniFails();
    void invalidLineFailsAndKeepsSharedLists_data();
    void invalidLineFailsAndKeepsSharedLists();
    void sizeThatIsNoNumberReadsAsZero();
    void progressGoesByBytesHashed();

private:
    bool configure(bool client);
    void writeIni(const QByteArray& text);
    // Runs the task to its end; true when it finished. `progress` receives
    // the task's progress values.
    bool runTask(DownloadReplaceLists* lists, QList<qreal>* progress = nullptr);
    QString installed(const QString& name) const { return m_Root.path() + "/install/" + name; }
    QString temp(const QString& name) const { return m_Root.path() + "/temp/" + name; }

    QTemporaryDir m_Root;
    QScopedPointer<Configuration> m_Config;
    QStringList m_Messages;
};

void TestMakeDownloadReplaceList::initTestCase()
{
    QVERIFY(m_Root.isValid());
    QVERIFY(QDir().mkpath(m_Root.path() + "/config"));
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(m_Root.path() + "/config/"));
}

void TestMakeDownloadReplaceList::init()
{
    for (const char* dir : {"/install", "/temp"}) {
        QDir(m_Root.path() + dir).removeRecursively();
        QVERIFY(QDir().mkpath(m_Root.path() + dir));
    }
    QVERIFY(configure(true));
}

bool TestMakeDownloadReplaceList::configure(bool client)
{
    m_Config.reset(new Configuration);
    const QStringList args = client
        ? QStringList{"update", "--clientupdate", "client_linux_amd64", "42"}
        : QStringList{"update", "update_linux_amd64", "42"};
    return m_Config->parseCommandLineOptions(args)
        && m_Config->initalizeStart(m_Root.path() + "/temp", m_Root.path() + "/install");
}

void TestMakeDownloadReplaceList::writeIni(const QByteArray& text)
{
    const QString name = m_Config->clientUpdate() ? "vx3_client_linux_amd64.ini"
                                                  : "update_linux_amd64.ini";
    writeFile(temp(name), text);
}

bool TestMakeDownloadReplaceList::runTask(DownloadReplaceLists* lists, QList<qreal>* progress)
{
    MakeDownloadReplaceListTaskSpecification task(m_Config.data(), lists, nullptr, 0.05);
    if (progress)
        connect(&task, &TaskSpecification::updateProgress, this,
                [progress](qreal value) { progress->append(value); });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    if (!QTest::qWaitFor([&] { return finished.size() + canceled.size() > 0; }, 10000))
        return false;
    m_Messages = texts(messages);
    return finished.size() == 1 && canceled.isEmpty();
}

void TestMakeDownloadReplaceList::deleteSectionOnly()
{
    QVERIFY(QDir().mkpath(installed("plugins/old")));
    writeFile(installed("plugins/old/a.so"), "x");
    writeFile(installed("stale.txt"), "x");
    writeIni("[delete]\nplugins/old=2\nplugins/old/a.so=1\nstale.txt=1\nnever/installed=2\n");

    DownloadReplaceLists lists;
    QVERIFY(runTask(&lists));
    QCOMPARE(m_Messages.first(), QString("Compiling download and replace list for client"));
    QVERIFY(lists.downloads.isEmpty());
    QVERIFY(lists.replaces.isEmpty());
    // Deepest first: a directory after the files listed in it.
    QStringList paths;
    for (const DeleteItem& item : lists.deletes)
        paths << item.path + (item.recursive ? "=2" : "=1");
    QCOMPARE(paths, (QStringList{"stale.txt=1", "plugins/old/a.so=1", "plugins/old=2"}));
}

void TestMakeDownloadReplaceList::plainFileJudgedByItsHashInAnyCase()
{
    writeFile(installed("same.txt"), kNew);
    writeFile(installed("changed.txt"), kOld);
    const QByteArray upperHash = sha512(kNew).toUpper().toUtf8();
    writeIni("[client]\nsame.txt=" + upperHash + "::" + QByteArray::number(kNew.size())
             + "\nchanged.txt=" + twoFields(kNew) + "\nmissing.txt=" + twoFields(kNew) + "\n");

    DownloadReplaceLists lists;
    QVERIFY(runTask(&lists));
    QCOMPARE(lists.replaces.size(), 2);
    QCOMPARE(lists.replaces.at(0).name, QString("changed.txt"));
    QCOMPARE(lists.replaces.at(1).name, QString("missing.txt"));
    for (const ReplaceItem& item : qAsConst(lists.replaces)) {
        QVERIFY(item.hash.isEmpty());
        QVERIFY(item.installName.isEmpty());
        QVERIFY(item.patchName.isEmpty());
    }
    QCOMPARE(lists.downloads.size(), 2);
    const DownloadItem& download = lists.downloads.at(0);
    QCOMPARE(download.section, QString("client"));
    QCOMPARE(download.name, QString("changed.txt"));
    QCOMPARE(download.hash, sha512(kNew));
    QCOMPARE(download.size, quint64(kNew.size()));
}

void TestMakeDownloadReplaceList::packedFileJudgedByInstalledHash()
{
    // The installed file equals the new content although the packed download's
    // hash (field 1) differs from it: up to date.
    writeFile(installed("bin/current"), kNew);
    // Installed content equal to field 1 only is not the new content.
    writeFile(installed("bin/stale"), kPacked);
    writeIni("[client]\ncurrent._lzma2_=" + fiveFields(kPacked, kNew, "bin/current")
             + "\nstale._lzma2_=" + fiveFields(kPacked, kNew, "bin/stale") + "\n");

    DownloadReplaceLists lists;
    QVERIFY(runTask(&lists));
    QCOMPARE(lists.replaces.size(), 1);
    const ReplaceItem& replace = lists.replaces.at(0);
    QCOMPARE(replace.name, QString("stale._lzma2_"));
    QCOMPARE(replace.hash, sha512(kNew));
    QCOMPARE(replace.installName, QString("bin/stale"));
    QCOMPARE(replace.size, quint64(kNew.size()));  // the installed size, not the download's
    QVERIFY(replace.patchName.isEmpty());
    QCOMPARE(lists.downloads.size(), 1);
    QCOMPARE(lists.downloads.at(0).name, QString("stale._lzma2_"));
    QCOMPARE(lists.downloads.at(0).hash, sha512(kPacked));
}

void TestMakeDownloadReplaceList::patchOnlyForTheInstalledVersion_data()
{
    QTest::addColumn<QByteArray>("installedContent");  // empty: not installed
    QTest::addColumn<bool>("patched");
    QTest::newRow("installed file is the patch's base") << kOld << true;
    QTest::newRow("installed file of another version") << QByteArray("something else") << false;
    QTest::newRow("file not installed") << QByteArray() << false;
}

void TestMakeDownloadReplaceList::patchOnlyForTheInstalledVersion()
{
    QFETCH(QByteArray, installedContent);
    QFETCH(bool, patched);
    if (!installedContent.isEmpty())
        writeFile(installed("bin/app"), installedContent);
    // The same link in another section is not this section's patch.
    writeIni("[client]\napp._lzma2_=" + fiveFields(kPacked, kNew, "bin/app")
             + "\napp.42_patch_=" + fiveFields(kPatch, kOld, "bin/app")
             + "\n[other]\nother.43_patch_=" + fiveFields(kPatch, "something else", "bin/app")
             + "\n");

    DownloadReplaceLists lists;
    QVERIFY(runTask(&lists));
    QCOMPARE(lists.replaces.size(), 1);
    QCOMPARE(lists.downloads.size(), 1);
    const ReplaceItem& replace = lists.replaces.at(0);
    const DownloadItem& download = lists.downloads.at(0);
    QCOMPARE(replace.name, QString("app._lzma2_"));
    QCOMPARE(replace.hash, sha512(kNew));
    QCOMPARE(replace.size, quint64(kNew.size()));  // what the patch must produce
    QCOMPARE(download.section, QString("client"));
    if (patched) {
        QCOMPARE(replace.patchName, QString("app.42_patch_"));
        QCOMPARE(download.name, QString("app.42_patch_"));
        QCOMPARE(download.hash, sha512(kPatch));
        QCOMPARE(download.size, quint64(kPatch.size()));
    } else {
        QVERIFY(replace.patchName.isEmpty());
        QCOMPARE(download.name, QString("app._lzma2_"));
        QCOMPARE(download.hash, sha512(kPacked));
        QCOMPARE(download.size, quint64(kPacked.size()));
    }
}

void TestMakeDownloadReplaceList::upToDateFilesCopiedInFirstStepOnly_data()
{
    QTest::addColumn<bool>("client");
    QTest::newRow("first step") << false;
    QTest::newRow("second step") << true;
}

void TestMakeDownloadReplaceList::upToDateFilesCopiedInFirstStepOnly()
{
    QFETCH(bool, client);
    QVERIFY(configure(client));
    writeFile(installed("update"), kNew);
    writeFile(installed("lib/libupdate.so.1"), kOld);
    writeIni("[update]\nupdate=" + twoFields(kNew) + "\nlibupdate._lzma2_="
             + fiveFields(kPacked, kOld, "lib/libupdate.so.1") + "\n");

    DownloadReplaceLists lists;
    QVERIFY(runTask(&lists));
    QCOMPARE(m_Messages.first(), QString("Compiling download and replace list for ")
                                     + (client ? "client" : "updater"));
    QVERIFY(lists.downloads.isEmpty());
    QVERIFY(lists.replaces.isEmpty());
    if (client) {
        QVERIFY(!QFile::exists(temp("update")));
        QVERIFY(!QFile::exists(temp("lib")));
    } else {
        QCOMPARE(readFile(temp("update")), kNew);
        QCOMPARE(readFile(temp("lib/libupdate.so.1")), kOld);
    }
}

void TestMakeDownloadReplaceList::intactDownloadNotFetchedAgain()
{
    writeFile(temp("intact._lzma2_"), kPacked);
    writeFile(temp("corrupt._lzma2_"), kPacked + "!");
    writeIni("[client]\nintact._lzma2_=" + fiveFields(kPacked, kNew, "intact")
             + "\ncorrupt._lzma2_=" + fiveFields(kPacked, kNew, "corrupt") + "\n");

    DownloadReplaceLists lists;
    QVERIFY(runTask(&lists));
    QCOMPARE(lists.replaces.size(), 2);
    QCOMPARE(lists.downloads.size(), 1);
    QCOMPARE(lists.downloads.at(0).name, QString("corrupt._lzma2_"));
}

void TestMakeDownloadReplaceList::emptyIniFails_data()
{
    QTest::addColumn<QByteArray>("ini");  // empty: no file at all
    QTest::newRow("sections without keys") << QByteArray("[client]\n[delete]\n");
    QTest::newRow("keys outside sections only") << QByteArray("version=42\n");
    QTest::newRow("no product ini") << QByteArray();
}

void TestMakeDownloadReplaceList::emptyIniFails()
{
    QFETCH(QByteArray, ini);
    if (!ini.isEmpty())
        writeIni(ini);
    DownloadReplaceLists lists;
    QVERIFY(!runTask(&lists));
    QCOMPARE(m_Messages.last(), QString("No files in product ini"));
}

void TestMakeDownloadReplaceList::invalidLineFailsAndKeepsSharedLists_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("section");
    // Every case starts with a valid line, so a partial list exists when it fails.
    const QByteArray good = "[a]\ngood.txt=" + twoFields(kNew) + "\n";
    QTest::newRow("three fields") << good + "[b]\nx.txt=" + sha512(kNew).toUtf8() + "::1::2\n"
                                  << "b";
    QTest::newRow("patch with four fields")
        << good + "[b]\nx_patch_=" + sha512(kPatch).toUtf8() + "::1::2::3\n" << "b";
    QTest::newRow("key climbs out") << good + "[b]\n../outside.txt=" + twoFields(kNew) + "\n"
                                    << "b";
    QTest::newRow("key with dot component") << good + "[b]\nlib/./x=" + twoFields(kNew) + "\n"
                                            << "b";
    QTest::newRow("absolute install path")
        << good + "[b]\nx._lzma2_=" + fiveFields(kPacked, kNew, "/etc/profile") + "\n" << "b";
    QTest::newRow("install path climbs out")
        << good + "[b]\nx._lzma2_=" + fiveFields(kPacked, kNew, "lib/../../x") + "\n" << "b";
    QTest::newRow("patch key climbs out")
        << good + "[b]\n../x_patch_=" + fiveFields(kPatch, kOld, "x") + "\n" << "b";
    QTest::newRow("deletion climbs out") << good + "[delete]\n..=2\n" << "delete";
    QTest::newRow("deletion of the installation itself") << good + "[delete]\n.=2\n"
                                                         << "delete";
    const QByteArray huge = "9223372036854775808"; // 2^63
    QTest::newRow("download size beyond 2^63 - 1")
        << good + "[b]\nx.txt=" + sha512(kNew).toUtf8() + "::" + huge + "\n" << "b";
    QTest::newRow("installed size beyond 2^63 - 1")
        << good + "[b]\nx._lzma2_=" + sha512(kPacked).toUtf8() + "::1::" + sha512(kNew).toUtf8() + "::" + huge
               + "::x\n"
        << "b";
    QTest::newRow("same key in two sections")
        << good + "[b]\ngood.txt=" + twoFields(kOld) + "\n" << "b";
}

void TestMakeDownloadReplaceList::invalidLineFailsAndKeepsSharedLists()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, section);
    // The first step copies up-to-date files, such as good.txt, into the
    // temporary directory.
    QVERIFY(configure(false));
    writeFile(installed("good.txt"), kNew);
    writeIni(ini);
    DownloadReplaceLists lists;
    DeleteItem earlier;
    earlier.path = "from an earlier run";
    lists.deletes.append(earlier);

    QVERIFY(!runTask(&lists));
    QCOMPARE(m_Messages.last(),
             QString("Warning: product ini contains invalid line in section %1").arg(section));
    QVERIFY(lists.downloads.isEmpty());
    QVERIFY(lists.replaces.isEmpty());
    QCOMPARE(lists.deletes.size(), 1);
    QCOMPARE(lists.deletes.at(0).path, earlier.path);
    // Nothing was written outside the two directories.
    QVERIFY(!QFile::exists(m_Root.path() + "/outside.txt"));
    // The whole ini is checked before any file is compared or copied.
    QVERIFY(!QFile::exists(temp("good.txt")));
}

void TestMakeDownloadReplaceList::sizeThatIsNoNumberReadsAsZero()
{
    // Published releases may hold such sizes: a current installed copy still
    // passes, and only the files to fetch get the limit 0.
    writeFile(installed("current.txt"), kNew);
    QByteArray ini = "[client]\ncurrent.txt=" + sha512(kNew).toUtf8() + "::12abc\n";
    const QList<QByteArray> sizes{"12abc", "", "-1", "18446744073709551616", "0x10"};
    for (int i = 0; i < sizes.size(); ++i)
        ini += "f" + QByteArray::number(i) + ".txt=" + sha512(kNew).toUtf8() + "::" + sizes.at(i) + "\n";
    writeIni(ini);

    DownloadReplaceLists lists;
    QVERIFY(runTask(&lists));
    QCOMPARE(lists.downloads.size(), sizes.size());
    for (const DownloadItem& download : qAsConst(lists.downloads))
        QCOMPARE(download.size, quint64(0));
}

void TestMakeDownloadReplaceList::progressGoesByBytesHashed()
{
    // One large installed file: the progress moves while it is hashed.
    const QByteArray large(24 << 20, 'x');
    writeFile(installed("large.bin"), large);
    writeIni("[client]\nlarge.bin=" + twoFields(large) + "\n");

    DownloadReplaceLists lists;
    QList<qreal> progress;
    QVERIFY(runTask(&lists, &progress));
    QVERIFY(lists.replaces.isEmpty());
    int between = 0;
    for (int i = 0; i < progress.size(); ++i) {
        QVERIFY(i == 0 || progress.at(i) >= progress.at(i - 1));
        between += progress.at(i) > 0 && progress.at(i) < 0.05 ? 1 : 0;
    }
    QVERIFY2(between >= 3, qPrintable(QString::number(between)));
    QCOMPARE(progress.last(), 0.05);
}

QTEST_GUILESS_MAIN(TestMakeDownloadReplaceList)
#include "tst_makedownloadreplacelisttaskspecification.moc"
