#include "NewsBanner.h"

#include "NewsDocument.h"
#include "WebUrl.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTimerEvent>

#include <algorithm>
#include <climits>

namespace {

// Keeps x + textWidth far from overflowing whatever width a hostile text lays out to.
constexpr qreal MaxTextWidth = INT_MAX / 4;

int truncated(qreal value, qreal limit)
{
    return int(std::clamp(value, qreal(0), limit));
}

} // namespace

NewsBanner::NewsBanner(QWidget* parent)
    : QWidget(parent)
    , document(new NewsDocument(this))
{
    setObjectName(QStringLiteral("NewsBanner"));
    setMinimumHeight(16);
    setMaximumHeight(16);
}

void NewsBanner::setNews(const QString& news)
{
    m_url.clear();
    // Qt 6's "." stops at a line break unless told otherwise; the comment may span lines.
    static const QRegularExpression comment(QStringLiteral("<!--(.+)-->"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = comment.match(news);
    if (match.hasMatch()) {
        const QString captured = match.captured(1);
        const int equals = captured.indexOf(QLatin1Char('='));
        if (equals >= 0 && captured.left(equals) == QLatin1String("URL"))
            m_url = captured.mid(equals + 1);
    }

    document->setHtml(news);
    document->setDocumentMargin(0);
    paused = false;
    x = width() - 10;
    const QSizeF size = document->size();
    textWidth = truncated(size.width(), MaxTextWidth);
    textHeight = truncated(size.height(), MaxHeight);
    setMinimumHeight(textHeight);
    setMaximumHeight(textHeight);
    timer.start(StepMs, this);
}

qreal NewsBanner::textTop() const
{
    return (height() - document->size().height()) * 0.5;
}

QString NewsBanner::anchorAt(const QPoint& point) const
{
    return document->documentLayout()->anchorAt(QPointF(point.x() - x, point.y() - textTop()));
}

void NewsBanner::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event);
    if (paused)
        return;
    if (width() < x)
        x = width() - 10;

    QPainter painter(this);
    painter.translate(x, textTop());
    document->drawContents(&painter);

    if (x + textWidth < -10) {
        x = width() - 10;
        paused = true;
        timer.start(PauseMs, this);
    }
    // On every paint, so that the cursor follows the text moving under a still mouse.
    const bool overLink = !anchorAt(mapFromGlobal(QCursor::pos())).isEmpty();
    setCursor(overLink ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

void NewsBanner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (paused) {
        paused = false;
        timer.start(StepMs, this);
    }
    --x;
    repaint();
}

void NewsBanner::mousePressEvent(QMouseEvent* event)
{
    const QString anchor = anchorAt(event->position().toPoint());
    if (!anchor.isEmpty())
        WebUrl::open(anchor);
    else if (!m_url.isEmpty())
        WebUrl::open(m_url);
    event->accept();
}
