#include "mainwindow.h"

#include "configuration.h"
#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

MainWindow::MainWindow(Configuration* config)
    : QWidget(nullptr)
    , m_Config(config)
    , m_VersionLabel(new QLabel(this))
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(tr("Voxaro 3 Client Update"));
    resize(486, 314);
    m_VersionLabel->setObjectName(QStringLiteral("versionLabel"));
    m_VersionLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_VersionLabel->setTextFormat(Qt::RichText);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_VersionLabel);

    auto* checker = new SingleInstanceChecker(this);
    connect(checker, &SingleInstanceChecker::otherInstanceActivate, this, [this](const QString& message) {
        if (message == QLatin1String("#")) {
            raise();
            activateWindow();
        }
    });
    connect(m_Config, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
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

    QString text;
    if (!config.versionString().isEmpty())
        text += QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">")
                + tr("Update to Voxaro %1").arg(config.versionString()) + QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:4px\">")
            + tr("You are currently on <strong>%1 channel</strong>.").arg(channel) + QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:4px;font-style:italic\">")
            + (config.clientUpdate() ? tr("Step two: Updating Voxaro client") : tr("Step one: Updating updater"))
            + QStringLiteral("</div>");
    return text;
}

void MainWindow::updateVersionLabel()
{
    m_VersionLabel->setText(versionLabelText(*m_Config));
}

void MainWindow::updateNews()
{
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    QMessageBox::critical(nullptr, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
    QCoreApplication::exit(1);
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate";
}
