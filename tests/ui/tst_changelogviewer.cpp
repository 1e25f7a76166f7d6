// The change-log viewer against scripted mirrors: which base URLs it tries and in which order,
// what counts as a failed attempt (errors, redirects, "document has moved", time-outs, endless
// bodies), how it shows the text and sizes itself, the proxy, and one dialog at a time.
#include "ChangeLogViewer.h"
#include "RandomGenerator.h"
#include "ScratchInstallation.h"
#include "TestHttpServer.h"

#include "../download/ScriptedRandomGenerator.h"

#include <QElapsedTimer>
#include <QFontMetrics>
#include <QScreen>
#include <QTextEdit>
#include <QtTest>

#include <memory>

namespace {

const QString ChangeLogPath = QStringLiteral("/3012/changelog_client.txt");

using Response = TestHttpServer::Response;

} // namespace

class tst_ChangeLogViewer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void mirrorsInRandomOrderUntilOneServes_data();
    void mirrorsInRandomOrderUntilOneServes();
    void slowMirrorIsAbandonedAfterTwoSeconds();
    void alphaUrlIsTheOnlySource();
    void changeLogUrl_data();
    void changeLogUrl();
    void textIsPlainUtf8();
    void sizeFollowsTheText_data();
    void sizeFollowsTheText();
    void proxyOfTheSettingsIsUsed();
    void oneDialogAtATime();

private:
    // mirrors.ini naming the servers' base URLs (m0, m1, ... in this order), plus extra lines.
    void writeMirrorsIni(const QStringList& urls, const QByteArray& extra = QByteArray());
    ChangeLogViewer* open(const QString& version = QStringLiteral("3012"));
    static QString shown(ChangeLogViewer* viewer) { return viewer->text(); }

    std::unique_ptr<ScratchInstallation> m_installation;
    std::unique_ptr<ScriptedRandomGenerator> m_random;
    QList<std::shared_ptr<TestHttpServer>> m_servers;
};

void tst_ChangeLogViewer::init()
{
    m_installation = std::make_unique<ScratchInstallation>();
    QVERIFY2(m_installation->isValid(), qPrintable(m_installation->errorString()));
    m_servers.clear();
    for (int i = 0; i < 3; ++i) {
        auto server = std::make_shared<TestHttpServer>();
        QVERIFY2(server->listen(), qPrintable(server->errorString()));
        m_servers.append(server);
    }
}

void tst_ChangeLogViewer::cleanup()
{
    if (ChangeLogViewer::instance())
        delete ChangeLogViewer::instance();
    QVERIFY(!ChangeLogViewer::instance());
    RandomGenerator::setProgram(nullptr);
    m_random.reset();
    m_servers.clear();
    m_installation.reset();
}

void tst_ChangeLogViewer::writeMirrorsIni(const QStringList& urls, const QByteArray& extra)
{
    QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(urls.size()) + "\n";
    for (int i = 0; i < urls.size(); ++i)
        ini += QByteArray::number(i + 1) + "\\mirror=m" + QByteArray::number(i) + "\n";
    for (int i = 0; i < urls.size(); ++i)
        ini += "\n[m" + QByteArray::number(i) + "]\nurl=" + urls.at(i).toUtf8() + "\n";
    const QString error = m_installation->writeFile(QStringLiteral("mirrors.ini"), ini + extra);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

ChangeLogViewer* tst_ChangeLogViewer::open(const QString& version)
{
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    return ChangeLogViewer::instance();
}

void tst_ChangeLogViewer::mirrorsInRandomOrderUntilOneServes_data()
{
    QTest::addColumn<QList<int>>("statuses"); // per server: 200 serves its name, else that status
    QTest::addColumn<QList<quint32>>("draws");
    QTest::addColumn<QList<int>>("order"); // servers asked, in order
    QTest::addColumn<QString>("text");

    QTest::newRow("first drawn serves")
        << QList<int> {200, 200, 200} << QList<quint32> {1} << QList<int> {1} << "log of m1";
    QTest::newRow("404 then 500 then one that serves")
        << QList<int> {200, 404, 500} << QList<quint32> {2, 0, 0} << QList<int> {2, 0} << "log of m0";
    QTest::newRow("a random number larger than the list")
        << QList<int> {404, 404, 200} << QList<quint32> {4, 6} << QList<int> {1, 0, 2} << "log of m2";
    QTest::newRow("a 302 answer is a failure, not followed")
        << QList<int> {302, 200, 404} << QList<quint32> {0, 0} << QList<int> {0, 1} << "log of m1";
    QTest::newRow("a 200 page saying \"document has moved\" is a failure")
        << QList<int> {-1, 404, 200} << QList<quint32> {0, 0} << QList<int> {0, 1, 2} << "log of m2";
    QTest::newRow("an endless body is dropped at the cap")
        << QList<int> {-2, 200, 200} << QList<quint32> {0, 1} << QList<int> {0, 2} << "log of m2";
    QTest::newRow("a declared length over the cap is dropped")
        << QList<int> {-3, 200, 200} << QList<quint32> {0, 1} << QList<int> {0, 2} << "log of m2";
    QTest::newRow("every mirror fails") << QList<int> {404, 503, 302} << QList<quint32> {0}
                                        << QList<int> {0, 1, 2} << "Failed to load changelog.";
}

void tst_ChangeLogViewer::mirrorsInRandomOrderUntilOneServes()
{
    QFETCH(QList<int>, statuses);
    QFETCH(QList<quint32>, draws);
    QFETCH(QList<int>, order);
    QFETCH(QString, text);
    m_random = std::make_unique<ScriptedRandomGenerator>(draws);
    RandomGenerator::setProgram(m_random.get());

    QStringList urls;
    QList<int> asked;
    for (int i = 0; i < m_servers.size(); ++i) {
        TestHttpServer& server = *m_servers.at(i);
        urls.append(server.baseUrl());
        const int status = statuses.at(i);
        server.setHandler(ChangeLogPath, [i, status, &asked, &server](const TestHttpServer::Request&) {
            asked.append(i);
            switch (status) {
            case 200:
                return Response::ok("log of m" + QByteArray::number(i));
            case 302:
                return Response::redirect(302, server.url(QStringLiteral("/moved.txt")).toUtf8());
            case -1:
                return Response::ok("<html><body><h1>Object Moved</h1>This document has moved "
                                    "<a href=\"/x\">here</a></body></html>");
            case -2:
                return Response::endless();
            case -3:
                return Response::ok("short")
                    .withDeclaredLength(ChangeLogViewer::MaxBodyBytes + 1)
                    .stallAfter(5);
            default:
                return Response::error(status);
            }
        });
        server.setResponse(QStringLiteral("/moved.txt"), Response::ok("followed the redirect"));
    }
    writeMirrorsIni(urls);

    ChangeLogViewer* viewer = open();
    QVERIFY(viewer);
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(shown(viewer), text, 10000);
    QCOMPARE(asked, order);
    // Every failure here is known without waiting for the attempt's time limit; an endless body
    // in particular is cut at the cap, not at the end of the two seconds.
    QVERIFY2(clock.elapsed() < ChangeLogViewer::AttemptTimeoutMs,
             qPrintable(QStringLiteral("took %1 ms").arg(clock.elapsed())));
    for (const auto& server : std::as_const(m_servers))
        QCOMPARE(server->requestCount(QStringLiteral("/moved.txt")), 0);
}

void tst_ChangeLogViewer::slowMirrorIsAbandonedAfterTwoSeconds()
{
    m_random = std::make_unique<ScriptedRandomGenerator>(QList<quint32> {0});
    RandomGenerator::setProgram(m_random.get());
    // The first mirror answers at once but never finishes its body: the limit covers the whole
    // transfer.
    m_servers.at(0)->setResponse(ChangeLogPath, Response::ok(QByteArray(1000, 'a')).stallAfter(10));
    m_servers.at(1)->setResponse(ChangeLogPath, Response::ok("from the second mirror"));
    writeMirrorsIni({m_servers.at(0)->baseUrl(), m_servers.at(1)->baseUrl()});

    QElapsedTimer clock;
    clock.start();
    ChangeLogViewer* viewer = open();
    QCOMPARE(shown(viewer), QStringLiteral("Loading..."));
    QTRY_COMPARE_WITH_TIMEOUT(shown(viewer), QStringLiteral("from the second mirror"), 10000);
    QVERIFY2(clock.elapsed() >= ChangeLogViewer::AttemptTimeoutMs - 100,
             qPrintable(QStringLiteral("gave up after %1 ms").arg(clock.elapsed())));
    QCOMPARE(m_servers.at(1)->requestCount(ChangeLogPath), 1);
}

void tst_ChangeLogViewer::alphaUrlIsTheOnlySource()
{
    m_servers.at(0)->setResponse(ChangeLogPath, Response::error(404));
    m_servers.at(1)->setResponse(ChangeLogPath, Response::ok("mirror"));
    writeMirrorsIni({m_servers.at(1)->baseUrl()});
    QString error = m_installation->writeFile(
        QStringLiteral("update.ini"), "[Channel]\nalpha=" + m_servers.at(0)->baseUrl().toUtf8() + "\n");
    QVERIFY2(error.isEmpty(), qPrintable(error));

    ChangeLogViewer* viewer = open();
    QTRY_COMPARE_WITH_TIMEOUT(shown(viewer), QStringLiteral("Failed to load changelog."), 10000);
    QCOMPARE(m_servers.at(0)->requestCount(ChangeLogPath), 1);
    QCOMPARE(m_servers.at(1)->totalRequests(), 0);
}

void tst_ChangeLogViewer::changeLogUrl_data()
{
    QTest::addColumn<QString>("suffix"); // appended to the server's base URL in mirrors.ini
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("path");

    QTest::newRow("base without slash") << ""
                                        << "3012"
                                        << "/3012/changelog_client.txt";
    QTest::newRow("base with slash: no second slash") << "/"
                                                      << "3012"
                                                      << "/3012/changelog_client.txt";
    QTest::newRow("base with a folder") << "/mirror/kv3"
                                        << "77"
                                        << "/mirror/kv3/77/changelog_client.txt";
}

void tst_ChangeLogViewer::changeLogUrl()
{
    QFETCH(QString, suffix);
    QFETCH(QString, version);
    QFETCH(QString, path);
    TestHttpServer& server = *m_servers.at(0);
    server.setFallback([](const TestHttpServer::Request&) { return Response::ok("found"); });
    // An entry without a URL and one that is no web address are never tried.
    writeMirrorsIni({server.baseUrl() + suffix, QString(), QStringLiteral("file:///dev/zero")});

    ChangeLogViewer* viewer = open(version);
    QTRY_COMPARE_WITH_TIMEOUT(shown(viewer), QStringLiteral("found"), 10000);
    QCOMPARE(server.requestLog(), QStringList {path});
}

void tst_ChangeLogViewer::textIsPlainUtf8()
{
    // Markup stays as written; UTF-8 is read as UTF-8 whatever the locale says.
    const QString text =
        QStringLiteral("<b>3.0.12</b> – Änderungen: größere Übersicht\n<img src=\"/dev/zero\">\n");
    m_servers.at(0)->setResponse(ChangeLogPath, Response::ok(text.toUtf8()));
    writeMirrorsIni({m_servers.at(0)->baseUrl()});

    ChangeLogViewer* viewer = open();
    QTRY_COMPARE_WITH_TIMEOUT(shown(viewer), text, 10000);
}

void tst_ChangeLogViewer::sizeFollowsTheText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("short lines") << "one\ntwo two\nthree three three";
    QTest::newRow("a line wider than the screen") << QString(2000, QLatin1Char('W'));
    QTest::newRow("only empty lines") << "\n\n";
}

void tst_ChangeLogViewer::sizeFollowsTheText()
{
    QFETCH(QString, text);
    ChangeLogViewer viewer(nullptr, QNetworkProxy(QNetworkProxy::NoProxy));
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    const QTextEdit* edit = viewer.findChild<QTextEdit*>(QStringLiteral("changeLogTextEdit"));
    QVERIFY(edit);
    QVERIFY(edit->isReadOnly());
    QCOMPARE(edit->lineWrapMode(), QTextEdit::NoWrap);

    int widest = 0;
    const QFontMetrics metrics(edit->font());
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = qMax(widest, metrics.horizontalAdvance(line));
    const QRect available = viewer.screen()->availableGeometry();
    QVERIFY(available.isValid());
    const int width = qMin(widest == 0 ? 500 : widest + 50, available.width());
    const int height = available.height() <= 499 ? available.height() : 500;

    viewer.load(text);
    QCOMPARE(viewer.size(), QSize(width, height));

    // An empty text keeps the size.
    viewer.resize(321, 222);
    viewer.load(QString());
    QCOMPARE(viewer.size(), QSize(321, 222));
}

void tst_ChangeLogViewer::proxyOfTheSettingsIsUsed()
{
    // The mirror's host does not resolve: only the proxy can reach it.
    TestHttpServer& proxy = *m_servers.at(0);
    QByteArray target;
    proxy.setFallback([&target](const TestHttpServer::Request& request) {
        target = request.target;
        return Response::ok("through the proxy");
    });
    writeMirrorsIni({QStringLiteral("http://mirror.invalid/kv3")});

    ChangeLogViewer::showRemoteChangeLogDialog(
        nullptr, QStringLiteral("3012"),
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()));
    ChangeLogViewer* viewer = ChangeLogViewer::instance();
    QTRY_COMPARE_WITH_TIMEOUT(shown(viewer), QStringLiteral("through the proxy"), 10000);
    QCOMPARE(target, QByteArray("http://mirror.invalid/kv3/3012/changelog_client.txt"));
}

void tst_ChangeLogViewer::oneDialogAtATime()
{
    m_servers.at(0)->setResponse(ChangeLogPath, Response::error(404));
    writeMirrorsIni({m_servers.at(0)->baseUrl()});

    ChangeLogViewer* first = open();
    QTRY_COMPARE_WITH_TIMEOUT(shown(first), QStringLiteral("Failed to load changelog."), 10000);
    // Asked again: the same dialog comes forward, without a new attempt even after a failure.
    ChangeLogViewer* again = open(QStringLiteral("9999"));
    QCOMPARE(again, first);
    QCOMPARE(m_servers.at(0)->totalRequests(), 1);
    QVERIFY(first->isVisible());

    // Closed, it goes, and the next one starts afresh.
    QPointer<ChangeLogViewer> closed(first);
    first->close();
    QVERIFY(!ChangeLogViewer::instance() || ChangeLogViewer::instance() == first);
    QTRY_VERIFY(closed.isNull());
    QVERIFY(!ChangeLogViewer::instance());
    m_servers.at(0)->setResponse(ChangeLogPath, Response::ok("now it works"));
    ChangeLogViewer* next = open();
    QTRY_COMPARE_WITH_TIMEOUT(shown(next), QStringLiteral("now it works"), 10000);
    QCOMPARE(m_servers.at(0)->totalRequests(), 2);
}

QTEST_MAIN(tst_ChangeLogViewer)
#include "tst_changelogviewer.moc"
