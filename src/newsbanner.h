#pragma once
// One line of rich-text news scrolling from right to left, 0.5 pixel every
// 10 ms. When the text has left the widget it stays blank for 3 seconds and
// starts again 10 pixels inside the right border. A click opens the link
// under the mouse, or else the default link named in the news by a comment
// "<!--URL=...-->" (the key exactly "URL"); only http and https links open.
// The news is untrusted: at most 4095 characters of it are read, nothing it
// names is loaded (no images from files or the network), and the ticker is
// at most 64 pixels high.

#include <QBasicTimer>
#include <QString>
#include <QWidget>

class QTextDocument;

class NewsBanner final : public QWidget
{
    Q_OBJECT

public:
    explicit NewsBanner(QWidget* parent = nullptr);

    // Loads the news and starts a new pass at once.
    void setNews(const QString& html);

    // The link under a point in widget coordinates; empty when there is none.
    QString anchorAt(const QPoint& point) const;

    QString defaultUrl() const;
    float offset() const;
    bool isPaused() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    QBasicTimer m_Timer;
    QTextDocument* m_Doc;
    float m_Offset = 0.0f;
    int m_TextWidth = 0;
    int m_TextHeight = 0;
    bool m_Paused = false;
    QString m_Url;
};
