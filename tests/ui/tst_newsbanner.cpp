// The news line: the strip's URL comment, clicks on links and elsewhere, scrolling, and news text
// that tries to load files or to make the window grow.
#include "NewsBanner.h"
#include "UrlOpenRecorder.h"

#include <QImage>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

#include <sys/stat.h>

class tst_NewsBanner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void urlComment_data();
    void urlComment();
    void clickOpensLinkElseStripUrl_data();
    void clickOpensLinkElseStripUrl();
    void scrollsLeftAndRestartsAtRight();
    void emptyNewsStillRuns();
    void untrustedResourcesAreNotRead_data();
    void untrustedResourcesAreNotRead();
    void fifoImageDoesNotHang();
    void tallNewsDoesNotGrowTheWindow_data();
    void tallNewsDoesNotGrowTheWindow();

private:
    // A position in the strip whose anchor is (or, with an empty wanted, is not) wanted.
    static QPoint findPoint(const NewsBanner& banner, const QString& wanted);
};

QPoint tst_NewsBanner::findPoint(const NewsBanner& banner, const QString& wanted)
{
    const int y = banner.height() / 2;
    for (int x = 0; x < banner.width(); ++x) {
        if (banner.anchorAt(QPoint(x, y)) == wanted)
            return QPoint(x, y);
    }
    return QPoint(-1, -1);
}

void tst_NewsBanner::urlComment_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<QString>("url");

    QTest::newRow("single comment") << "New release! <!--URL=https://kelvaro.example/news-->"
                                    << "https://kelvaro.example/news";
    QTest::newRow("blank after <!--") << "x <!-- URL=https://a.example/-->"
                                      << "";
    QTest::newRow("key in lower case") << "x <!--url=https://a.example/-->"
                                       << "";
    QTest::newRow("no =") << "x <!--URL-->"
                          << "";
    QTest::newRow("empty address") << "x <!--URL=-->"
                                   << "";
    QTest::newRow("two comments: from the first <!-- to the last -->")
        << "<!--URL=https://a.example/--> text <!--other-->"
        << "https://a.example/--> text <!--other";
    QTest::newRow("two comments, the first not a URL") << "<!--note--> <!--URL=https://a.example/-->"
                                                       << "";
    QTest::newRow("multi-line: greedy over line breaks")
        << "<!--URL=https://a.example/-->\nsecond line\n<!--end-->"
        << "https://a.example/-->\nsecond line\n<!--end";
    QTest::newRow("multi-line: a comment spanning lines") << "news\n<!--URL=https://a.example/\n-->"
                                                          << "https://a.example/\n";
    QTest::newRow("no comment") << "<b>plain</b> news"
                                << "";
}

void tst_NewsBanner::urlComment()
{
    QFETCH(QString, news);
    QFETCH(QString, url);
    NewsBanner banner;
    banner.setNews(news);
    QCOMPARE(banner.url(), url);
}

void tst_NewsBanner::clickOpensLinkElseStripUrl_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("stripUrl");
    QTest::addColumn<QString>("openedOnLink");
    QTest::addColumn<QString>("openedElsewhere");

    QTest::newRow("web link and strip URL") << "https://link.example/"
                                            << "https://strip.example/"
                                            << "https://link.example/"
                                            << "https://strip.example/";
    QTest::newRow("no strip URL") << "https://link.example/"
                                  << ""
                                  << "https://link.example/"
                                  << "";
    QTest::newRow("file link: nothing, not even the strip URL") << "file:///usr/bin/xterm"
                                                                << "https://strip.example/"
                                                                << ""
                                                                << "https://strip.example/";
    QTest::newRow("strip URL is a path") << "https://link.example/"
                                         << "/bin/sh"
                                         << "https://link.example/"
                                         << "";
}

void tst_NewsBanner::clickOpensLinkElseStripUrl()
{
    QFETCH(QString, link);
    QFETCH(QString, stripUrl);
    QFETCH(QString, openedOnLink);
    QFETCH(QString, openedElsewhere);
    UrlOpenRecorder desktop;
    NewsBanner banner;
    banner.resize(460, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    QString news = QStringLiteral("<a href=\"%1\">linklinklink</a> and plain words after it").arg(link);
    if (!stripUrl.isEmpty())
        news += QStringLiteral("<!--URL=%1-->").arg(stripUrl);
    banner.setNews(news);

    // The text starts at the right edge; both points are taken and pressed without the event loop
    // running in between, so the text does not move.
    const QPoint onLink = findPoint(banner, link);
    QVERIFY2(onLink.x() >= 0, "no point over the link");
    QTest::mousePress(&banner, Qt::LeftButton, Qt::NoModifier, onLink);
    QCOMPARE(desktop.opened.size(), openedOnLink.isEmpty() ? 0 : 1);
    if (!openedOnLink.isEmpty())
        QCOMPARE(desktop.opened.takeFirst(), QUrl(openedOnLink));
    desktop.opened.clear();

    const QPoint away = findPoint(banner, QString());
    QVERIFY2(away.x() >= 0, "no point away from the link");
    QTest::mousePress(&banner, Qt::RightButton, Qt::NoModifier, away);
    QCOMPARE(desktop.opened.size(), openedElsewhere.isEmpty() ? 0 : 1);
    if (!openedElsewhere.isEmpty())
        QCOMPARE(desktop.opened.first(), QUrl(openedElsewhere));
}

void tst_NewsBanner::scrollsLeftAndRestartsAtRight()
{
    NewsBanner banner;
    banner.resize(60, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(QStringLiteral("abc"));
    QCOMPARE(banner.textX(), 50); // 10 pixels inside the right edge
    const int width = banner.laidOutWidth();
    QVERIFY2(width > 0, "the text has no width");

    QTRY_VERIFY_WITH_TIMEOUT(banner.textX() < 40, 2000);
    // The pass ends once the right end is more than 10 pixels past the left edge; the pause
    // follows and the next pass starts at the right.
    QTRY_VERIFY_WITH_TIMEOUT(banner.isPaused(), 10000);
    QCOMPARE(banner.textX(), 50);
    QTRY_VERIFY_WITH_TIMEOUT(!banner.isPaused(), NewsBanner::PauseMs + 2000);
    QTRY_VERIFY_WITH_TIMEOUT(banner.textX() < 50, 2000);
}

void tst_NewsBanner::emptyNewsStillRuns()
{
    NewsBanner banner;
    banner.resize(60, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(QString());
    QCOMPARE(banner.url(), QString());
    QCOMPARE(banner.minimumHeight(), banner.laidOutHeight());
    QCOMPARE(banner.maximumHeight(), banner.laidOutHeight());
    const int start = banner.textX();
    QTRY_VERIFY_WITH_TIMEOUT(banner.textX() < start, 2000);
}

void tst_NewsBanner::untrustedResourcesAreNotRead_data()
{
    QTest::addColumn<QString>("news");
    // Without the guard, Qt reads /dev/zero until memory runs out (std::bad_alloc).
    QTest::newRow("image from /dev/zero") << "News <img src=\"/dev/zero\"> today";
    QTest::newRow("image as file URL") << "News <img src=\"file:///dev/zero\"> today";
    QTest::newRow("style sheet from /dev/zero")
        << "<html><head><link rel=\"stylesheet\" type=\"text/css\" href=\"/dev/zero\"></head>"
           "<body>News</body></html>";
    QTest::newRow("background image") << "<table background=\"/dev/zero\"><tr><td>News</td></tr></table>";
}

void tst_NewsBanner::untrustedResourcesAreNotRead()
{
    QFETCH(QString, news);
    NewsBanner banner;
    banner.resize(300, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(news);
    // Painting lays out and draws every image too.
    const QImage shot = banner.grab().toImage();
    QVERIFY(!shot.isNull());
    QVERIFY2(banner.height() <= NewsBanner::MaxHeight, qPrintable(QString::number(banner.height())));
}

void tst_NewsBanner::fifoImageDoesNotHang()
{
    // Reading a FIFO without a writer blocks for ever; this test hangs (and times out) if the
    // document opens it.
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString fifo = dir.filePath(QStringLiteral("picture.png"));
    QVERIFY2(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0, "mkfifo failed");

    NewsBanner banner;
    banner.resize(300, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(QStringLiteral("News <img src=\"%1\"> and <img src=\"file://%1\">").arg(fifo));
    QVERIFY(!banner.grab().toImage().isNull());
}

void tst_NewsBanner::tallNewsDoesNotGrowTheWindow_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<bool>("tallFile");

    QTest::newRow("a real 10 x 30000 picture") << "News <img src=\"%1\">" << true;
    QTest::newRow("an image declared 30000 high")
        << "News <img src=\"x.png\" width=\"5\" height=\"30000\">" << false;
    QTest::newRow("a heading and many paragraphs")
        << "<h1>A</h1><p>b</p><p>c</p><p>d</p><p>e</p><p>f</p>" << false;
}

void tst_NewsBanner::tallNewsDoesNotGrowTheWindow()
{
    QFETCH(QString, news);
    QFETCH(bool, tallFile);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    if (tallFile) {
        const QString path = dir.filePath(QStringLiteral("tall.png"));
        QImage tall(10, 30000, QImage::Format_RGB32);
        tall.fill(Qt::red);
        QVERIFY(tall.save(path));
        news = news.arg(path);
    }

    // The window's layout has the fixed-size constraint: it takes the size of its contents.
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    auto* banner = new NewsBanner(&window);
    layout->addWidget(banner);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int before = window.height();

    banner->setNews(news);
    QCoreApplication::processEvents();
    window.adjustSize();

    QVERIFY2(banner->laidOutHeight() <= NewsBanner::MaxHeight,
             qPrintable(QString::number(banner->laidOutHeight())));
    QVERIFY2(window.height() <= before + NewsBanner::MaxHeight,
             qPrintable(QStringLiteral("window grew from %1 to %2").arg(before).arg(window.height())));
}

QTEST_MAIN(tst_NewsBanner)
#include "tst_newsbanner.moc"
