#include "urlclicklabel.h"

#include "linkopener.h"

#include <QMouseEvent>

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent)
{
}

void UrlClickLabel::setUrl(const QString& url)
{
    m_Url = url;
}

QString UrlClickLabel::url() const
{
    return m_Url;
}

void UrlClickLabel::mousePressEvent(QMouseEvent* event)
{
    LinkOpener::open(m_Url);
    event->accept();
}
