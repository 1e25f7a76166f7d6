// The logo and the banner: a press of any button opens the label's URL, when it is a web page.
#include "UrlClickLabel.h"
#include "UrlOpenRecorder.h"

#include <QtTest>

class tst_UrlClickLabel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pressOpens_data();
    void pressOpens();
};

void tst_UrlClickLabel::pressOpens_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("opened");

    QTest::newRow("left, https") << Qt::LeftButton << "https://banner.example/click" << true;
    QTest::newRow("right, http") << Qt::RightButton << "http://banner.example/" << true;
    QTest::newRow("middle, https") << Qt::MiddleButton << "https://banner.example/" << true;
    QTest::newRow("no URL set") << Qt::LeftButton << QString() << false;
    QTest::newRow("file URL from a banner reply") << Qt::LeftButton << "file:///usr/bin/xterm" << false;
    QTest::newRow("a bare path") << Qt::LeftButton << "/tmp/run.sh" << false;
}

void tst_UrlClickLabel::pressOpens()
{
    QFETCH(Qt::MouseButton, button);
    QFETCH(QString, url);
    QFETCH(bool, opened);
    UrlOpenRecorder desktop;
    UrlClickLabel label;
    label.resize(100, 40);
    if (!url.isNull())
        label.setUrl(url);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));

    QTest::mousePress(&label, button, Qt::NoModifier, QPoint(50, 20));

    QCOMPARE(desktop.opened.size(), opened ? 1 : 0);
    if (opened)
        QCOMPARE(desktop.opened.first(), QUrl(url));
}

QTEST_MAIN(tst_UrlClickLabel)
#include "tst_urlclicklabel.moc"
