#include "newsbanner.h"

#include "linkopener.h"
#include "serverreplies.h"

#include <QAbstractTextDocumentLayout>
#include <QDebug>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QTextDocument>
#include <QUrl>
#include <QVariant>

namespace {

const int kStepMs = 10;
const int kPauseMs = 3000;
const float kStepPixels = 0.5f;
// A pass starts this far inside the right border and ends this far past the left.
const int kEdge = 10;
const int kInitialHeight = 16;
// The news comes from the network: a few lines of text at most are shown.
const int kMaxHeight = 64;

// Renders the news without loading anything: no image, style sheet or other
// resource is read from a file or the network, so a name in the news (a
// FIFO, /dev/zero, a slow share) can neither block nor feed the updater.
// Every image is one transparent pixel: an image the document cannot get
// from here it would load from the named file itself.
class OfflineTextDocument final : public QTextDocument
{
public:
    explicit OfflineTextDocument(QObject* parent)
        : QTextDocument(parent)
    {
    }

protected:
    QVariant loadResource(int type, const QUrl& /*name*/) override
    {
        if (type != QTextDocument::ImageResource)
            return QByteArray();
        QImage pixel(1, 1, QImage::Format_ARGB32);
        pixel.fill(Qt::transparent);
        return pixel;
    }
};

} // namespace

NewsBanner::NewsBanner(QWidget* parent)
    : QWidget(parent)
    , m_Doc(new OfflineTextDocument(this))
{
    setMinimumHeight(kInitialHeight);
    setMaximumHeight(kInitialHeight);
    setObjectName(QStringLiteral("NewsBanner"));
}

void NewsBanner::setNews(const QString& html)
{
    // The same bound as a reply of the server, also for news handed on
    // through the command line.
    const QString bounded = html.left(ServerReplies::kNewsLimit);
    m_Url = ServerReplies::newsLink(bounded);

    m_Doc->setHtml(bounded);
    m_Doc->setDocumentMargin(0);
    m_Paused = false;
    m_Offset = static_cast<float>(width() - kEdge);
    const QSizeF size = m_Doc->size();
    m_TextWidth = static_cast<int>(size.width());
    m_TextHeight = qMin(static_cast<int>(size.height()), kMaxHeight);
    setMinimumHeight(m_TextHeight);
    setMaximumHeight(m_TextHeight);

    qDebug() << "Starting news ticker";
    m_Timer.start(kStepMs, this);
    update();
}

QString NewsBanner::anchorAt(const QPoint& point) const
{
    // During the pause nothing is drawn, so nothing can be clicked.
    if (m_Paused)
        return QString();
    const QPointF inDocument(static_cast<int>(point.x() - m_Offset), point.y());
    return m_Doc->documentLayout()->anchorAt(inDocument);
}

QString NewsBanner::defaultUrl() const
{
    return m_Url;
}

float NewsBanner::offset() const
{
    return m_Offset;
}

bool NewsBanner::isPaused() const
{
    return m_Paused;
}

void NewsBanner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_Timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (m_Paused) {
        m_Paused = false;
        m_Timer.start(kStepMs, this);
    }
    m_Offset -= kStepPixels;
    update();
}

void NewsBanner::paintEvent(QPaintEvent* /*event*/)
{
    if (m_Paused)
        return;
    // The widget may have been narrowed since the pass started.
    if (static_cast<int>(m_Offset) > width())
        m_Offset = static_cast<float>(width() - kEdge);

    QPainter painter(this);
    painter.translate(QPointF(m_Offset, (height() - m_TextHeight) * 0.5));
    // Only what is inside the widget is drawn, however large the document.
    m_Doc->drawContents(&painter, QRectF(-m_Offset, 0, width(), m_TextHeight));

    if (static_cast<int>(m_Offset) + m_TextWidth < -kEdge) {
        m_Paused = true;
        m_Offset = static_cast<float>(width() - kEdge);
        m_Timer.start(kPauseMs, this);
    }

    const QPoint mouse = mapFromGlobal(QCursor::pos());
    setCursor(anchorAt(mouse).isEmpty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
}

void NewsBanner::mousePressEvent(QMouseEvent* event)
{
    const QString anchor = anchorAt(event->localPos().toPoint());
    if (!anchor.isEmpty())
        LinkOpener::open(anchor);
    else if (!m_Url.isEmpty())
        LinkOpener::open(m_Url);
    event->accept();
}
