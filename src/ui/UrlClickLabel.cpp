#include "UrlClickLabel.h"

#include "WebUrl.h"

#include <QMouseEvent>

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent)
{
}

void UrlClickLabel::setUrl(const QString& url)
{
    m_url = url;
}

void UrlClickLabel::mousePressEvent(QMouseEvent* event)
{
    WebUrl::open(m_url);
    event->accept();
}
