// The session record in the program directory's update.ini.
#include "support/testfiles.h"
#include "configuration.h"
#include "updateinidata.h"

#include <QtTest>

class TestUpdateIniData final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void iniPathIsNextToProgram();
    void getMissingFile();
    void getInvalidRecords_data();
    void getInvalidRecords();
    void getValidRecord();
    void getWithNullOutputs();
    void modifyKeepsOtherGroups();
    void modifyTempIniCopiesRecordAndUserGroups();
    void modifyTempIniWithoutRecordWritesNothing();

private:
    QTemporaryDir m_Root;
    QString m_SessionDir;
};

void TestUpdateIniData::initTestCase()
{
    QVERIFY(m_Root.isValid());
    m_SessionDir = m_Root.path() + "/voxaro_temp_3";
    QVERIFY(QDir().mkpath(m_SessionDir));
}

void TestUpdateIniData::init()
{
    QFile::remove(UpdateIniData::iniPath());
    QFile::remove(m_SessionDir + "/update.ini");
}

void TestUpdateIniData::cleanup()
{
    QFile::remove(UpdateIniData::iniPath());
}

void TestUpdateIniData::iniPathIsNextToProgram()
{
    QCOMPARE(UpdateIniData::iniPath(), QCoreApplication::applicationDirPath() + "/update.ini");
}

void TestUpdateIniData::getMissingFile()
{
    int version = -1;
    QVERIFY(!UpdateIniData::get(&version, nullptr, nullptr, nullptr));
    QCOMPARE(version, -1);
}

void TestUpdateIniData::getInvalidRecords_data()
{
    QTest::addColumn<QString>("record");
    QTest::newRow("version not a number") << "version=abc\ndir=%DIR%\nvx3dir=/opt/vx3\ntype=client_linux_amd64\n";
    QTest::newRow("version missing") << "dir=%DIR%\nvx3dir=/opt/vx3\ntype=client_linux_amd64\n";
    QTest::newRow("type empty") << "version=5\ndir=%DIR%\nvx3dir=/opt/vx3\ntype=\n";
    QTest::newRow("dir empty") << "version=5\ndir=\nvx3dir=/opt/vx3\ntype=client_linux_amd64\n";
    QTest::newRow("dir gone") << "version=5\ndir=%DIR%/gone\nvx3dir=/opt/vx3\ntype=client_linux_amd64\n";
    QTest::newRow("other group") << "";
}

void TestUpdateIniData::getInvalidRecords()
{
    QFETCH(QString, record);
    writeFile(UpdateIniData::iniPath(), "[current]\n" + record.replace("%DIR%", m_SessionDir).toUtf8()
                                           + "[update]\nversion=5\n");
    int version = -1;
    QString type = "untouched";
    QString dir = "untouched";
    QString vx3dir = "untouched";
    QVERIFY(!UpdateIniData::get(&version, &type, &dir, &vx3dir));
    QCOMPARE(version, -1);
    QCOMPARE(type, QStringLiteral("untouched"));
    QCOMPARE(dir, QStringLiteral("untouched"));
    QCOMPARE(vx3dir, QStringLiteral("untouched"));
}

void TestUpdateIniData::getValidRecord()
{
    UpdateIniData::modify(812, m_SessionDir, "/opt/vx3", "update_linux_amd64");
    int version = 0;
    QString type, dir, vx3dir;
    QVERIFY(UpdateIniData::get(&version, &type, &dir, &vx3dir));
    QCOMPARE(version, 812);
    QCOMPARE(type, QStringLiteral("update_linux_amd64"));
    QCOMPARE(dir, m_SessionDir);
    QCOMPARE(vx3dir, QStringLiteral("/opt/vx3"));
}

void TestUpdateIniData::getWithNullOutputs()
{
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
    UpdateIniData::modify(1, m_SessionDir, QString(), "t");
    QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
}

void TestUpdateIniData::modifyKeepsOtherGroups()
{
    writeFile(UpdateIniData::iniPath(), "[Channel]\nbeta=true\n[update]\nproxy=proxy.lan:3128\n");
    UpdateIniData::modify(9, m_SessionDir, "/opt/vx3", "client_linux_amd64");

    QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
    QCOMPARE(settings.value("Channel/beta").toBool(), true);
    QCOMPARE(settings.value("update/proxy").toString(), QStringLiteral("proxy.lan:3128"));
    QCOMPARE(settings.value("current/version").toInt(), 9);
    QCOMPARE(settings.value("current/vx3dir").toString(), QStringLiteral("/opt/vx3"));
}

void TestUpdateIniData::modifyTempIniCopiesRecordAndUserGroups()
{
    // Step two runs from the session directory and reads only that update.ini
    // (besides the configuration directory's): the user's proxy, parallel
    // downloads and alpha channel must reach it.
    writeFile(UpdateIniData::iniPath(),
             "[Channel]\nalpha=http://127.0.0.1/alpha/\nalphaRevno=33\n"
             "[update]\nproxy=http://proxy.lan:8080\nstreams=2\n");
    UpdateIniData::modify(33, m_SessionDir, "/opt/vx3", Configuration::productName(false));
    UpdateIniData::modifyTempIni(m_SessionDir);

    QSettings copy(m_SessionDir + "/update.ini", QSettings::IniFormat);
    QCOMPARE(copy.value("current/version").toInt(), 33);
    QCOMPARE(copy.value("current/dir").toString(), m_SessionDir);
    QCOMPARE(copy.value("current/vx3dir").toString(), QStringLiteral("/opt/vx3"));
    QCOMPARE(copy.value("current/type").toString(), QStringLiteral("client_linux_amd64"));
    QCOMPARE(copy.value("Channel/alpha").toString(), QStringLiteral("http://127.0.0.1/alpha/"));
    QCOMPARE(copy.value("Channel/alphaRevno").toInt(), 33);
    QCOMPARE(copy.value("update/proxy").toString(), QStringLiteral("http://proxy.lan:8080"));
    QCOMPARE(copy.value("update/streams").toInt(), 2);
}

void TestUpdateIniData::modifyTempIniWithoutRecordWritesNothing()
{
    writeFile(UpdateIniData::iniPath(), "[current]\nversion=x\n");
    UpdateIniData::modifyTempIni(m_SessionDir);
    QVERIFY(!QFileInfo::exists(m_SessionDir + "/update.ini"));
}

QTEST_GUILESS_MAIN(TestUpdateIniData)
#include "tst_updateinidata.moc"
