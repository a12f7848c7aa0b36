#include "mainwindow.h"

#include "bannercache.h"
#include "configuration.h"
#include "diagnostics.h"
#include "processtools.h"
#include "singleinstancechecker.h"
#include "steptworun.h"
#include "unattendedrun.h"
#include "updateengine.h"

#include <QBuffer>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QLocale>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>

namespace {

const int kStartNextProgramDelayMs = 1000;
const char kMakerSite[] = "https://www.voxaro.net/";

} // namespace

// The images live in the core library, a static one; its resources are
// registered only when asked for.
static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

MainWindow::MainWindow(Configuration* config)
    : QWidget(nullptr)
    , m_Config(config)
    , m_Engine(new UpdateEngine(config, this))
{
    // Errors are shown in modal boxes. Queued, so that a box's own event loop
    // never runs inside the task that reported the error.
    connect(m_Engine, &UpdateEngine::error, this, &MainWindow::onError, Qt::QueuedConnection);
    connect(m_Engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError, Qt::QueuedConnection);
    connect(m_Engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(m_Engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(m_Engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(m_Engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(m_Engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(m_Engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    initResources();
    ui.setupUi(this);
    // Queued: the toggle shows the log first, then it is scrolled to its end.
    connect(ui.detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed, Qt::QueuedConnection);
    ui.voxaroLabel->setUrl(QString::fromLatin1(kMakerSite));
    ui.outputTextEdit->hide();

    m_Checker = new SingleInstanceChecker(this);
    connect(m_Checker, &SingleInstanceChecker::otherInstanceActivate, this, &MainWindow::onOtherInstanceActivate);
    connect(m_Config, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);

    m_Engine->getBanner();
    centreOnScreen();
}

void MainWindow::centreOnScreen()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // The fixed-size layout decides the real size; settle it before placing.
    layout()->activate();
    const QRect available = screen->availableGeometry();
    move(available.left() + available.width() / 2 - width() / 2,
         available.top() + available.height() / 2 - height() / 2);
}

QString MainWindow::versionLabelText(const Configuration& config)
{
    QString channel;
    switch (config.channel()) {
    case 0: channel = tr("Stable"); break;
    case 1: channel = tr("Beta"); break;
    case 2: channel = tr("Alpha"); break;
    default: break;
    }

    // The version string comes from the server or the command line: it is
    // shown as plain text, escaped, so it can neither format nor load anything.
    QString text;
    if (!config.versionString().isEmpty())
        text += QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">")
                + tr("Update to Voxaro %1").arg(config.versionString().toHtmlEscaped())
                + QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:4px\">")
            + tr("You are currently on <strong>%1 channel</strong>.").arg(channel) + QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:4px;font-style:italic\">")
            + (config.clientUpdate() ? tr("Step two: Updating Voxaro client") : tr("Step one: Updating updater"))
            + QStringLiteral("</div>");
    return text;
}

void MainWindow::updateVersionLabel()
{
    ui.versionLabel->setText(versionLabelText(*m_Config));
}

void MainWindow::updateNews()
{
    ui.newsBanner->setNews(m_Config->news());
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate";
    // Step two runs from the temporary directory; the client may start the
    // installed updater meanwhile, which must find this window.
    if (m_Config->clientUpdate())
        m_Checker->guardInstalledUpdater();
    if (m_Finished)
        return;
    if (m_Engine->isActive()) {
        qDebug() << "Session already active";
        return;
    }
    // A failed initialize() has been reported by the configuration already.
    if (m_Engine->initialize()) {
        qDebug() << "Update engine initialized";
        m_Engine->startUpdate();
    }
}

void MainWindow::showRecoveryReport(const QStringList& lines, bool problem)
{
    for (const QString& line : lines)
        onAppendText(line);
    if (problem)
        QTimer::singleShot(0, this, [this, lines]() { onError(lines.join(QLatin1Char('\n'))); });
}

void MainWindow::onAppendText(QString text)
{
    ui.outputTextEdit->append(text);
    Diagnostics::logLine(text);
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    ui.totalProgressBar->setValue(static_cast<int>(doneFrac * 1000));
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                                    bool downloading)
{
    // While files arrive the bar also tells how much of how much and how
    // fast; the rest of the session it shows the percentage alone.
    if (!downloading || downloadTotal == 0) {
        ui.totalProgressBar->setFormat(QStringLiteral("%p%"));
        return;
    }
    const QLocale locale;
    const auto size = [&locale](quint64 bytes) {
        return locale.formattedDataSize(qint64(bytes), 1, QLocale::DataSizeTraditionalFormat);
    };
    ui.totalProgressBar->setFormat(
        tr("%p%, %1 of %2 at %3/s").arg(size(downloadDone), size(downloadTotal), size(speed)));
}

void MainWindow::critical(QWidget* parent, const QString& title, const QString& text)
{
    if (m_Config->unattended()) {
        onAppendText(text);
        return;
    }
    Diagnostics::logLine(text);
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

void MainWindow::onError(QString errorMessage)
{
    onAppendText(errorMessage);
    if (!m_Config->unattended())
        QMessageBox::critical(this, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
}

void MainWindow::onFatalError(QString errorMessage)
{
    critical(this, QObject::tr("Error"), errorMessage);
    QCoreApplication::exit(UnattendedRun::EngineFailed);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    critical(nullptr, QObject::tr("Error"), errorMessage);
    QCoreApplication::exit(UnattendedRun::ConfigurationFailed);
}

void MainWindow::onUpdateFinished()
{
    qDebug() << "onUpdateFinished";
    m_Finished = true;
    // The pause lets a user read the end of the log; unattended, nobody does.
    const int delay = m_Config->unattended() ? 0 : kStartNextProgramDelayMs;
    if (m_Config->clientUpdate())
        QTimer::singleShot(delay, this, &MainWindow::onStartVX3Client);
    else
        QTimer::singleShot(delay, this, &MainWindow::onStartNewUpdater);
}

void MainWindow::onStartNewUpdater()
{
    qDebug() << "onStartNewUpdater";
    QStringList arguments{QStringLiteral("--clientupdate"), Configuration::productName(true),
                          QString::number(m_Config->versionNr())};
    arguments << (m_Config->versionString().isEmpty() ? QStringLiteral("#") : m_Config->versionString());
    if (m_Config->unattended()) {
        // Always a news argument, even an empty one: an older updater takes
        // the argument after the version string as news and ignores the rest.
        runStepTwo(arguments << m_Config->news() << UnattendedRun::option());
        return;
    }
    if (!m_Config->news().isEmpty())
        arguments << m_Config->news();
    // A failed start is only logged; the update ends either way.
    ProcessTools::startClientUpdater(m_Config->tempDir(), arguments);
    close();
}

void MainWindow::runStepTwo(const QStringList& arguments)
{
    auto* stepTwo = new StepTwoRun(this);
    // This process keeps the installed updater's single-instance name until
    // step two has ended, so the client cannot start a second session meanwhile.
    connect(stepTwo, &StepTwoRun::ended, this, [this](int status, const QString& text) {
        onAppendText(text);
        QCoreApplication::exit(status);
    });
    if (!stepTwo->start(m_Config->tempDir(), arguments, UnattendedRun::confirmationTimeoutMs())) {
        onAppendText(tr("Unable to start the new updater in %1").arg(m_Config->tempDir()));
        QCoreApplication::exit(UnattendedRun::StepTwoNotRun);
    }
}

void MainWindow::onStartVX3Client()
{
    if (!m_Config->clientUpdate())
        return;
    ProcessTools::startVx3Client(m_Config->installDir());
    close();
    // A window that was never shown does not end the event loop by closing.
    if (m_Config->unattended())
        QCoreApplication::exit(UnattendedRun::Updated);
}

void MainWindow::onUpdateCanceled()
{
    if (m_CloseRequested) {
        QCoreApplication::quit();
        return;
    }
    m_Finished = false;
    m_Engine->resetAfterCancel();
    onAppendText(tr("Update cancelled"));
    ui.totalProgressBar->setValue(0);
    critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."));
    if (m_Config->unattended())
        QCoreApplication::exit(UnattendedRun::UpdateFailed);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    qDebug() << "Banner data available";
    QPixmap pixmap;
    if (!pixmap.loadFromData(bannerImage)) {
        qDebug() << "Could not load pixmap for banner. Error in data";
        return;
    }
    const QUrl url(clickUrl, QUrl::TolerantMode);
    ui.banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    ui.banner->setUrl(clickUrl);
    ui.banner->setPixmap(pixmap);
    qDebug() << "Banner pixmap loaded";

    // Kept for step two, which shows it without asking the banner server.
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (pixmap.save(&buffer, "JPG"))
        BannerCache::write(jpeg, clickUrl);
}

void MainWindow::onDetailsPressed()
{
    if (!ui.outputTextEdit->isVisible())
        return;
    QScrollBar* bar = ui.outputTextEdit->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_Engine->isActive()) {
        event->ignore();
        if (m_CloseRequested)
            return;
        const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
            QMessageBox::Yes | QMessageBox::No);
        if (answer == QMessageBox::Yes) {
            m_CloseRequested = true;
            // The window goes when the cancellation has been carried out.
            m_Engine->cancelUpdate();
        }
        return;
    }
    if (m_Config->clientUpdate()) {
        qDebug() << "*** Deleting temp banner";
        BannerCache::remove();
    }
    event->accept();
}
