#pragma once

#include <QBasicTimer>
#include <QString>
#include <QWidget>

class NewsDocument;
class QMouseEvent;
class QPaintEvent;
class QTimerEvent;

// A one-line news ticker: a short rich-text news text scrolls from right to left, one pixel every
// 20 ms, from 10 pixels inside the right edge until its right end is more than 10 pixels past the
// left edge; then the strip stays blank for 3 seconds and the next pass starts.
//
// The strip may carry a click URL of its own, written in the news text as the comment
// "<!--URL=address-->" (found greedily, from the first "<!--" to the last "-->", over line breaks
// too). A press on a link of the text opens that link, a press elsewhere opens the strip's URL;
// only web pages are opened (WebUrl).
//
// The news text is untrusted: its document loads no resources (NewsDocument), and the strip is at
// most MaxHeight pixels high, so that no news text can make the window grow. GUI thread only.
class NewsBanner : public QWidget
{
    Q_OBJECT

public:
    static constexpr int MaxHeight = 48;
    static constexpr int StepMs = 20;
    static constexpr int PauseMs = 3000;

    explicit NewsBanner(QWidget* parent = nullptr);

    // Replaces the text, takes its URL comment and starts a new pass at once.
    void setNews(const QString& news);
    // The link target under a widget position, or an empty text.
    QString anchorAt(const QPoint& point) const;

    // The strip's own click URL; empty when the news text carries none.
    QString url() const { return m_url; }
    // Position of the text's left edge relative to the widget's left edge.
    int textX() const { return x; }
    int laidOutWidth() const { return textWidth; }
    int laidOutHeight() const { return textHeight; }
    bool isPaused() const { return paused; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    // Vertical offset of the text inside the strip (it is centred).
    qreal textTop() const;

    QBasicTimer timer;
    NewsDocument* document;
    int x = 0;
    int textWidth = 0;
    int textHeight = 0;
    bool paused = false;
    QString m_url;
};
