// Which addresses reach the desktop: web pages only, whatever the banner service, the news or
// the command line name.
#include "UrlOpenRecorder.h"
#include "WebUrl.h"

#include <QtTest>

class tst_WebUrl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void onlyWebPagesAreOpened_data();
    void onlyWebPagesAreOpened();
};

void tst_WebUrl::onlyWebPagesAreOpened_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("opened");

    QTest::newRow("http") << "http://news.example/a?b=c" << true;
    QTest::newRow("https") << "https://news.example/" << true;
    QTest::newRow("scheme in capitals") << "HTTPS://news.example/" << true;
    QTest::newRow("blanks around") << "  https://news.example/  " << true;
    QTest::newRow("file") << "file:///etc/passwd" << false;
    QTest::newRow("absolute path") << "/usr/bin/xterm" << false;
    QTest::newRow("relative path") << "bin/run.sh" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("ftp") << "ftp://files.example/x" << false;
    QTest::newRow("mailto") << "mailto:someone@example.org" << false;
    QTest::newRow("javascript") << "javascript:alert(1)" << false;
    QTest::newRow("data") << "data:text/html,<b>x</b>" << false;
    QTest::newRow("smb") << "smb://host/share" << false;
    QTest::newRow("http without host") << "http:///etc/passwd" << false;
    QTest::newRow("http, path only") << "http:foo" << false;
}

void tst_WebUrl::onlyWebPagesAreOpened()
{
    QFETCH(QString, text);
    QFETCH(bool, opened);
    UrlOpenRecorder desktop;

    WebUrl::open(text);

    if (opened) {
        QCOMPARE(desktop.opened.size(), 1);
        QCOMPARE(desktop.opened.first(), QUrl(text.trimmed()));
    } else {
        QVERIFY2(desktop.opened.isEmpty(), qPrintable("opened: " + desktop.opened.value(0).toString()));
    }
}

QTEST_MAIN(tst_WebUrl)
#include "tst_weburl.moc"
