// The window with the real engine: the version label, progress in
// thousandths, the log behind "Details", error boxes (queued, fatal ones with
// their exit codes), the question on close during a running update, the
// banner and its cache, the next program after success, the single-instance
// message and the German translation. Message boxes are answered by a timer
// that stands in for the user.
#include "bannercache.h"
#include "support/udpresponder.h"
#include "configuration.h"
#include "mainwindow.h"
#include "singleinstancechecker.h"
#include "updateengine.h"
#include "updateinidata.h"
#include "urlclicklabel.h"

#include <QLocalSocket>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTcpServer>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

namespace {

const int kDeadlineMs = 20000;

// Answers every message box that opens with the next answer of its list
// (OK when the list is exhausted) and remembers what the boxes said.
class BoxAnswerer final
{
public:
    explicit BoxAnswerer(QList<QMessageBox::StandardButton> answers = {})
        : m_Answers(answers)
    {
        QObject::connect(&m_Timer, &QTimer::timeout, [this] { answer(); });
        m_Timer.start(20);
    }
    struct Box
    {
        QString title;
        QString text;
        bool hasParent;
    };
    QList<Box> boxes;

private:
    void answer()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        boxes.append({box->windowTitle(), box->text(), box->parentWidget() != nullptr});
        const QMessageBox::StandardButton button = m_Answers.isEmpty() ? QMessageBox::Ok : m_Answers.takeFirst();
        box->button(button)->click();
    }

    QList<QMessageBox::StandardButton> m_Answers;
    QTimer m_Timer;
};

QByteArray jpegImage()
{
    QImage image(468, 60, QImage::Format_RGB32);
    image.fill(QColor(30, 120, 200));
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return data;
}

// The code of the QCoreApplication::exit that follows `trigger`. Run in the
// application's own loop: an exit outside it would stop every later loop
// (message boxes included) of the test at once.
int exitCodeOf(const std::function<void()>& trigger)
{
    QTimer::singleShot(0, trigger);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    deadline.start(kDeadlineMs);
    return QCoreApplication::exec();
}

} // namespace

class TestMainWindow final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void versionLabel_data();
    void versionLabel();
    void imagesAndPlacement();
    void progressInThousandths();
    void detailsShowsNewestLines();
    void engineErrorsAreShownAfterTheSignal();
    void fatalErrorsEndTheProgram_data();
    void fatalErrorsEndTheProgram();
    void closeDuringUpdateAsksOnce();
    void bannerIsShownAndCached();
    void stepTwoDropsBannerCacheOnClose();
    void successStartsNewUpdater();
    void activationMessageRaisesWindow();
    void stepTwoAnswersForInstalledUpdater();
    void germanTranslation();

private:
    std::unique_ptr<Configuration> makeConfig(const QStringList& args);

    QScopedPointer<QTemporaryDir> m_Temp;
};

void TestMainWindow::init()
{
    m_Temp.reset(new QTemporaryDir);
    QVERIFY(m_Temp->isValid());
    qputenv("TMPDIR", QFile::encodeName(m_Temp->path()));
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(m_Temp->filePath("config")));
    // Nobody answers banner queries on loopback here; a lookup stays silent.
    qputenv("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    pointUdpQueriesAtFreePorts();
}

void TestMainWindow::cleanup()
{
    QFile::remove(UpdateIniData::iniPath());
    qunsetenv("TMPDIR");
    qunsetenv("VX3_UPDATE_BASE_URL");
    m_Temp.reset();
}

std::unique_ptr<Configuration> TestMainWindow::makeConfig(const QStringList& args)
{
    auto config = std::make_unique<Configuration>();
    if (!config->parseCommandLineOptions(QStringList{"update"} + args))
        return nullptr;
    return config;
}

void TestMainWindow::versionLabel_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("version string") << QStringList{"--nouser", "client_linux_amd64", "31", "3.1.0"}
                                    << QStringList{"Update to Voxaro 3.1.0", "You are currently on Stable channel.", "Step one: Updating updater"};
    QTest::newRow("no version string") << QStringList{"client_linux_amd64", "31"}
                                       << QStringList{"You are currently on Stable channel.", "Step one: Updating updater"};
    QTest::newRow("step two, #") << QStringList{"--clientupdate", "client_linux_amd64", "31", "#"}
                                 << QStringList{"You are currently on Stable channel.", "Step two: Updating Voxaro client"};
}

void TestMainWindow::versionLabel()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, lines);
    auto config = makeConfig(args);
    QVERIFY(config);
    MainWindow window(config.get());
    window.updateVersionLabel();
    auto* label = window.findChild<QLabel*>("versionLabel");
    QVERIFY(label);

    QTextDocument shown;
    shown.setHtml(label->text());
    QStringList blocks;
    for (QTextBlock block = shown.begin(); block.isValid(); block = block.next())
        blocks << block.text();
    QCOMPARE(blocks, lines);
    QVERIFY(label->text().contains("<strong>Stable channel</strong>"));
}

// The images come from the program's resources, and the window is centred.
void TestMainWindow::imagesAndPlacement()
{
    auto config = makeConfig({"client_linux_amd64", "31"});
    QVERIFY(config);
    MainWindow window(config.get());
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(window.findChild<UrlClickLabel*>("voxaroLabel")->pixmap(Qt::ReturnByValue).size(), QSize(48, 48));

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(qAbs(window.geometry().center().x() - available.center().x()) <= 2);
    QVERIFY(qAbs(window.geometry().center().y() - available.center().y()) <= 2);
}

void TestMainWindow::progressInThousandths()
{
    auto config = makeConfig({"client_linux_amd64", "31"});
    QVERIFY(config);
    MainWindow window(config.get());
    auto* engine = window.findChild<UpdateEngine*>();
    auto* bar = window.findChild<QProgressBar*>("totalProgressBar");
    QVERIFY(engine && bar);
    QCOMPARE(bar->maximum(), 1000);
    const QList<QPair<qreal, int>> cases{{0.9999, 999}, {1.0, 1000}, {0.5, 500}, {0.0004, 0}};
    for (const auto& c : cases) {
        emit engine->updateProgress(c.first);
        QCOMPARE(bar->value(), c.second);
    }
    // While files arrive, the bytes and the speed; then the percentage alone.
    emit engine->updateProgress(0.3);
    emit engine->downloadProgress(3 << 20, 10 << 20, 1 << 20, true);
    QCOMPARE(bar->text(), QStringLiteral("30%, 3.0 MB of 10.0 MB at 1.0 MB/s"));
    emit engine->downloadProgress(0, 0, 0, false);
    QCOMPARE(bar->text(), QStringLiteral("30%"));
}

void TestMainWindow::detailsShowsNewestLines()
{
    auto config = makeConfig({"client_linux_amd64", "31"});
    QVERIFY(config);
    MainWindow window(config.get());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* engine = window.findChild<UpdateEngine*>();
    auto* log = window.findChild<QTextEdit*>("outputTextEdit");
    auto* details = window.findChild<QPushButton*>("detailsButton");
    QVERIFY(engine && log && details);
    QVERIFY(!log->isVisible());
    for (int i = 1; i <= 40; ++i)
        emit engine->message(QString("line %1").arg(i));
    QVERIFY(log->toPlainText().endsWith("line 39\nline 40"));

    QTest::mouseClick(details, Qt::LeftButton);
    QVERIFY(log->isVisible());
    QScrollBar* bar = log->verticalScrollBar();
    QTRY_VERIFY_WITH_TIMEOUT(bar->maximum() > 0 && bar->value() == bar->maximum(), kDeadlineMs);

    QTest::mouseClick(details, Qt::LeftButton);
    QVERIFY(!log->isVisible());
}

void TestMainWindow::engineErrorsAreShownAfterTheSignal()
{
    auto config = makeConfig({"client_linux_amd64", "31"});
    QVERIFY(config);
    MainWindow window(config.get());
    auto* engine = window.findChild<UpdateEngine*>();
    auto* log = window.findChild<QTextEdit*>("outputTextEdit");
    BoxAnswerer user;

    // The emitting task gets control back before any box runs its own loop.
    emit engine->error("Could not copy 'a' to 'b'");
    QVERIFY(user.boxes.isEmpty());
    QVERIFY(!log->toPlainText().contains("Could not copy"));

    QTRY_COMPARE_WITH_TIMEOUT(user.boxes.size(), 1, kDeadlineMs);
    QCOMPARE(user.boxes.at(0).title, QStringLiteral("Error"));
    QCOMPARE(user.boxes.at(0).text, QStringLiteral("Could not copy 'a' to 'b'"));
    QVERIFY(user.boxes.at(0).hasParent);
    QVERIFY(log->toPlainText().contains("Could not copy 'a' to 'b'"));
}

void TestMainWindow::fatalErrorsEndTheProgram_data()
{
    QTest::addColumn<bool>("fromEngine");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("engine") << true << 2;
    QTest::newRow("configuration") << false << 1;
}

void TestMainWindow::fatalErrorsEndTheProgram()
{
    QFETCH(bool, fromEngine);
    QFETCH(int, exitCode);
    auto config = makeConfig({"client_linux_amd64", "31"});
    QVERIFY(config);
    MainWindow window(config.get());
    auto* engine = window.findChild<UpdateEngine*>();
    BoxAnswerer user;

    const int code = exitCodeOf([&] {
        if (fromEngine)
            emit engine->fatalError("Unable to initialize signature checks: x");
        else
            emit config->fatalError("Invalid version nr (x)");
    });
    QCOMPARE(code, exitCode);
    QCOMPARE(user.boxes.size(), 1);
    QCOMPARE(user.boxes.at(0).title, QStringLiteral("Error"));
    QCOMPARE(user.boxes.at(0).hasParent, fromEngine);
}

void TestMainWindow::closeDuringUpdateAsksOnce()
{
    auto config = makeConfig({"client_linux_amd64", "31"});
    QVERIFY(config);
    MainWindow window(config.get());
    auto* engine = window.findChild<UpdateEngine*>();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // A prepared session counts as active; its end is played by the test.
    QVERIFY(engine->initialize());
    QVERIFY(engine->isActive());

    BoxAnswerer user({QMessageBox::No, QMessageBox::Yes});
    window.close();
    QCOMPARE(user.boxes.size(), 1);
    QCOMPARE(user.boxes.at(0).title, QStringLiteral("Question"));
    QVERIFY(user.boxes.at(0).text.contains("Are you sure you want to abort?"));
    QVERIFY(window.isVisible());
    QVERIFY(engine->isActive());

    // Yes: the window waits for the cancellation, asks nothing more, and the
    // program ends when the engine reports the update cancelled.
    const int code = exitCodeOf([&] {
        window.close();
        QCOMPARE(user.boxes.size(), 2);
        window.close();
        QCOMPARE(user.boxes.size(), 2);
        QVERIFY(window.isVisible());
        emit engine->updateCanceled();
    });
    QCOMPARE(code, 0);
    QCOMPARE(user.boxes.size(), 2);
}

void TestMainWindow::bannerIsShownAndCached()
{
    auto config = makeConfig({"client_linux_amd64", "31"});
    QVERIFY(config);
    MainWindow window(config.get());
    auto* engine = window.findChild<UpdateEngine*>();
    auto* banner = window.findChild<UrlClickLabel*>("banner");

    emit engine->bannerFound("<html>not an image</html>", "https://ads.example/x");
    QVERIFY(banner->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(!QFileInfo::exists(BannerCache::imagePath()));

    emit engine->bannerFound(jpegImage(), "https://ads.example/click?id=1&t=ä");
    QVERIFY(!banner->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(banner->toolTip(), QStringLiteral("Click to open \"https://ads.example\""));
    QCOMPARE(banner->url(), QString::fromUtf8("https://ads.example/click?id=1&t=ä"));

    QByteArray image;
    QString url;
    QVERIFY(BannerCache::read(&image, &url));
    QCOMPARE(url, QString::fromUtf8("https://ads.example/click?id=1&t=ä"));
    QVERIFY(!QImage::fromData(image, "JPG").isNull());

    // Step one keeps the cache for step two.
    window.close();
    QVERIFY(QFileInfo::exists(BannerCache::imagePath()));
}

void TestMainWindow::stepTwoDropsBannerCacheOnClose()
{
    QVERIFY(BannerCache::write(jpegImage(), "https://ads.example/"));
    auto config = makeConfig({"--clientupdate", "client_linux_amd64", "31", "#"});
    QVERIFY(config);
    MainWindow window(config.get());
    window.show();
    QVERIFY(window.close());
    QVERIFY(!QFileInfo::exists(BannerCache::imagePath()));
    QVERIFY(!QFileInfo::exists(BannerCache::urlPath()));
}

void TestMainWindow::successStartsNewUpdater()
{
    // The new updater is a script that writes down its arguments.
    const QString sessionDir = m_Temp->filePath("session");
    const QString report = m_Temp->filePath("report");
    QVERIFY(QDir().mkpath(sessionDir));
    QFile script(sessionDir + "/update");
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" + QFile::encodeName(report)
                 + ".part' && mv '" + QFile::encodeName(report) + ".part' '" + QFile::encodeName(report) + "'\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));

    auto config = makeConfig({"--nouser", "client_linux_amd64", "31", "3.1.0", "Fresh <b>news</b>"});
    QVERIFY(config);
    QVERIFY(config->initalizeStart(sessionDir, m_Temp->path()));
    MainWindow window(config.get());
    auto* engine = window.findChild<UpdateEngine*>();
    window.show();
    emit engine->updateFinished();
    QVERIFY(window.isVisible());

    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), kDeadlineMs);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(report), kDeadlineMs);
    QFile written(report);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(written.readAll()).split('\n', Qt::SkipEmptyParts),
             (QStringList{"--clientupdate", "client_linux_amd64", "31", "3.1.0", "Fresh <b>news</b>"}));
}

void TestMainWindow::activationMessageRaisesWindow()
{
    auto config = makeConfig({"client_linux_amd64", "31"});
    QVERIFY(config);
    MainWindow window(config.get());
    auto* checker = window.findChild<SingleInstanceChecker*>();
    QVERIFY(checker && checker->isListening());
    QSignalSpy messages(checker, &SingleInstanceChecker::otherInstanceActivate);
    window.show();
    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), &other, kDeadlineMs);

    QVERIFY(SingleInstanceChecker::notifyRunningInstance("x"));
    QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, kDeadlineMs);
    QCoreApplication::processEvents();
    QCOMPARE(QApplication::activeWindow(), &other);

    QVERIFY(SingleInstanceChecker::notifyRunningInstance("#"));
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), &window, kDeadlineMs);
}

// Step two runs from the temporary directory; an updater started meanwhile in
// the installation must find this window and end.
void TestMainWindow::stepTwoAnswersForInstalledUpdater()
{
    const QString installDir = m_Temp->filePath("installation");
    QVERIFY(QDir().mkpath(installDir));
    UpdateIniData::modify(31, m_Temp->path(), installDir, QStringLiteral("client_linux_amd64"));
    qputenv("VX3_UPDATE_BASE_URL", "http://127.0.0.1:9/");
    auto config = makeConfig({"--clientupdate", "client_linux_amd64", "31", "#"});
    QVERIFY(config);
    MainWindow window(config.get());
    auto* checker = window.findChild<SingleInstanceChecker*>();
    window.show();
    BoxAnswerer user;   // the session itself fails without a file server

    window.onStartUpdate();
    QVERIFY(checker->isGuardingInstalledUpdater());
    // The session has no file server; let it end, and its box be answered,
    // before activation is looked at: a closing box takes the activation along.
    auto* engine = window.findChild<UpdateEngine*>();
    QTRY_VERIFY_WITH_TIMEOUT(!engine->isActive() && !user.boxes.isEmpty(), kDeadlineMs);
    QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), kDeadlineMs);

    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), &other, kDeadlineMs);
    QLocalSocket installed;
    installed.connectToServer(SingleInstanceChecker::serverNameFor(installDir + "/update"));
    QVERIFY(installed.waitForConnected(kDeadlineMs));
    installed.write("#");
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), &window, kDeadlineMs);
}

void TestMainWindow::germanTranslation()
{
    QTranslator german;
    QVERIFY(german.load(QStringLiteral(VX_TRANSLATIONS_DIR "/update_de_DE")));
    QCoreApplication::installTranslator(&german);
    auto config = makeConfig({"--nouser", "client_linux_amd64", "31", "3.1.0"});
    QVERIFY(config);
    {
        MainWindow window(config.get());
        window.updateVersionLabel();
        QCOMPARE(window.windowTitle(), QString::fromUtf8("Voxaro 3 Client – Aktualisierung"));
        const QString label = window.findChild<QLabel*>("versionLabel")->text();
        QVERIFY(label.contains("Aktualisierung auf Voxaro 3.1.0"));
        QVERIFY(label.contains("<strong>Stabil</strong>"));
        QCOMPARE(QObject::tr("Error"), QStringLiteral("Fehler"));
    }
    QCoreApplication::removeTranslator(&german);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
