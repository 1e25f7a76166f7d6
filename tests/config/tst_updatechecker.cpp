// The version query against a real UDP responder on 127.0.0.1: the reply grammar, the size
// limits, the retry box, and replies from somebody other than the server.
#include "Configuration.h"
#include "ModalBoxAnswerer.h"
#include "UdpResponder.h"
#include "UdpVersionService.h"
#include "UpdateChecker.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

using Pair = QPair<QString, QString>;
Q_DECLARE_METATYPE(UdpResponder::Source)

namespace {

const QByteArray versionRequest = UdpVersionService::versionRequest();
const QByteArray newsRequest = UdpVersionService::newsRequest();

// A service that leaves the first version request unanswered and answers every later one with
// 31#again, and the news request with "fresh news"; it counts the version requests.
UdpResponder::Handler answeringFromTheSecondVersionRequest(std::atomic<int>& versionRequests)
{
    return [&versionRequests](const QByteArray& request) {
        QList<UdpResponder::Reply> replies;
        if (request == versionRequest && versionRequests++ > 0)
            replies.append({"31#again"});
        else if (request == newsRequest)
            replies.append({"fresh news"});
        return replies;
    };
}

} // namespace

class tst_UpdateChecker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void grammar_data();
    void grammar();
    void replyDecoding_data();
    void replyDecoding();
    void sendsTheTwoRequests();
    void failsWithoutReply_data();
    void failsWithoutReply();
    void signalsDoNotRestartTheTimeOut();
    void retryBoxThenSuccess();
    void abortLeavesNewsUntouched();
    void quitWhileTheBoxIsOpenEndsTheQuery();
    void repliesFromOthersAreIgnored_data();
    void repliesFromOthersAreIgnored();
};

void tst_UpdateChecker::grammar_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("name");

    QTest::newRow("beta entry with name") << QByteArray("12#3.0.1,13#3.0.2-beta,14") << int(Beta) << "13"
                                          << "3.0.2-beta";
    QTest::newRow("alpha entry without name") << QByteArray("12#3.0.1,13#3.0.2-beta,14") << int(Alpha) << "14"
                                              << "";
    QTest::newRow("name keeps further #") << QByteArray("12#a#b") << int(Stable) << "12"
                                          << "a#b";
    QTest::newRow("empty name after #") << QByteArray("12#") << int(Stable) << "12"
                                        << "";
    QTest::newRow("leading comma: empty stable entry") << QByteArray(",13#x") << int(Stable) << ""
                                                       << "";
    QTest::newRow("adjacent commas keep the empty entry") << QByteArray("12,,14#z") << int(Alpha) << "14"
                                                          << "z";
    QTest::newRow("no entry for the channel") << QByteArray("12") << int(Beta) << ""
                                              << "";
    QTest::newRow("empty datagram: one empty entry") << QByteArray("") << int(Stable) << ""
                                                     << "";
    QTest::newRow("blanks are not trimmed") << QByteArray(" 12 # n ") << int(Stable) << " 12 "
                                            << " n ";
}

void tst_UpdateChecker::grammar()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, channel);
    UdpResponder responder(UdpVersionService::answering(reply, "news"));
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));

    UpdateChecker checker(QStringLiteral("127.0.0.1"), responder.port(), 2000);
    QVERIFY(checker.checkUpdate());
    const Pair entry = checker.getClientVersionByChannel(UpdateChannel(channel));
    QTEST(entry.first, "version");
    QTEST(entry.second, "name");
    QCOMPARE(checker.versions.size(), int(reply.count(',')) + 1);
}

void tst_UpdateChecker::replyDecoding_data()
{
    QTest::addColumn<QByteArray>("versionReply");
    QTest::addColumn<QByteArray>("newsReply");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("news");

    const QByteArray longName(700, 'n');
    QTest::newRow("version reply cut at 511 bytes")
        << QByteArray("12#" + longName) << QByteArray("x") << QString(511 - 3, QLatin1Char('n')) << "x";
    QTest::newRow("version reply of exactly 511 bytes")
        << QByteArray("12#" + QByteArray(508, 'm')) << QByteArray("x") << QString(508, QLatin1Char('m'))
        << "x";
    const QByteArray longNews(5000, 'w');
    QTest::newRow("news reply cut at 4095 bytes")
        << QByteArray("12#a") << longNews << "a" << QString(4095, QLatin1Char('w'));
    QTest::newRow("text ends at the first zero byte")
        << QByteArray("12#a\0,13#b", 10) << QByteArray("hello\0tail", 10) << "a"
        << "hello";
    QTest::newRow("Latin-1, one character per byte") << QByteArray("12#caf\xe9") << QByteArray("\xfc\xdf")
                                                     << QString::fromUtf8("café") << QString::fromUtf8("üß");
}

void tst_UpdateChecker::replyDecoding()
{
    QFETCH(QByteArray, versionReply);
    QFETCH(QByteArray, newsReply);
    UdpResponder responder(UdpVersionService::answering(versionReply, newsReply));
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));

    UpdateChecker checker(QStringLiteral("127.0.0.1"), responder.port(), 2000);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientVersionByChannel(Stable).first, QStringLiteral("12"));
    QTEST(checker.getClientVersionByChannel(Stable).second, "name");
    QTEST(checker.news, "news");
}

void tst_UpdateChecker::sendsTheTwoRequests()
{
    UdpResponder responder(UdpVersionService::answering("12", "n"));
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));
    UpdateChecker checker(QStringLiteral("localhost"), responder.port(), 2000);
    QVERIFY2(checker.checkUpdate(), "a host name must be resolved to its IPv4 address");
    QCOMPARE(responder.requests(), (QList<QByteArray> {versionRequest, newsRequest}));
}

void tst_UpdateChecker::failsWithoutReply_data()
{
    QTest::addColumn<bool>("answerVersion");
    QTest::addColumn<int>("entriesKept");
    QTest::newRow("no version reply") << false << 0;
    QTest::newRow("version reply but no news reply") << true << 1;
}

void tst_UpdateChecker::failsWithoutReply()
{
    QFETCH(bool, answerVersion);
    UdpResponder responder(answerVersion ? UdpResponder::byRequest({{versionRequest, {{"12"}}}})
                                         : UdpResponder::Handler());
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));

    // Long enough for a loaded machine to deliver the replies that do come.
    UpdateChecker checker(QStringLiteral("127.0.0.1"), responder.port(), 1000);
    QVERIFY(!checker.checkUpdate());
    QTEST(int(checker.versions.size()), "entriesKept");
    QVERIFY(checker.news.isEmpty());
}

void tst_UpdateChecker::signalsDoNotRestartTheTimeOut()
{
    // A process that keeps receiving signals (a child ending, a terminal resize) interrupts the
    // receive again and again; the wait must still end after the time-out, not start anew.
    struct sigaction action = {};
    action.sa_handler = [](int) {
    };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: every signal interrupts the receive
    struct sigaction previous = {};
    QCOMPARE(::sigaction(SIGUSR1, &action, &previous), 0);

    UdpResponder responder({});
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));
    constexpr int maxSignals = 100; // 5 seconds of signals, then the sender gives up
    std::atomic<bool> done {false};
    std::atomic<int> sent {0};
    const pthread_t mainThread = pthread_self();
    std::thread sender([&] {
        while (!done && sent < maxSignals) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!done) {
                pthread_kill(mainThread, SIGUSR1);
                ++sent;
            }
        }
    });

    UpdateChecker checker(QStringLiteral("127.0.0.1"), responder.port(), 300);
    const bool result = checker.checkUpdate();
    const int sentWhileWaiting = sent;
    done = true;
    sender.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    QVERIFY(!result);
    QVERIFY2(sentWhileWaiting < maxSignals,
             "the receive outlived a stream of signals: each one restarted the time-out");
}

void tst_UpdateChecker::retryBoxThenSuccess()
{
    // The first version request goes unanswered; the user presses Retry; the second is answered.
    std::atomic<int> versionRequests {0};
    UdpResponder responder(answeringFromTheSecondVersionRequest(versionRequests));
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));

    Configuration configuration;
    configuration.setVersionService(QStringLiteral("127.0.0.1"), responder.port(), 1000);
    ModalBoxAnswerer boxes({QMessageBox::Retry});
    QString news;
    const Pair entry = configuration.getLatestClientVersion(Stable, news);

    QCOMPARE(entry, Pair(QStringLiteral("31"), QStringLiteral("again")));
    QCOMPARE(news, QStringLiteral("fresh news"));
    QCOMPARE(versionRequests.load(), 2);
    QCOMPARE(boxes.seen().size(), 1);
    const ModalBoxAnswerer::Seen box = boxes.seen().first();
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text, QStringLiteral("Failed to query latest client\nversion from update server."));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, QMessageBox::Retry | QMessageBox::Abort);
    QCOMPARE(box.defaultButton, QMessageBox::NoButton);
    QVERIFY2(!box.hasParent, "the retry box is shown before any window");
}

void tst_UpdateChecker::abortLeavesNewsUntouched()
{
    UdpResponder responder({});
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));
    Configuration configuration;
    configuration.setVersionService(QStringLiteral("127.0.0.1"), responder.port(), 100);
    ModalBoxAnswerer boxes({QMessageBox::Retry, QMessageBox::Retry, QMessageBox::Abort});
    QString news = QStringLiteral("before");

    const Pair entry = configuration.getLatestClientVersion(Stable, news);

    QCOMPARE(entry, Pair());
    QCOMPARE(news, QStringLiteral("before"));
    QCOMPARE(boxes.seen().size(), 3);
    QCOMPARE(responder.requests().size(), 3);
}

void tst_UpdateChecker::quitWhileTheBoxIsOpenEndsTheQuery()
{
    // Only the first version request goes unanswered, so a retry would succeed.
    std::atomic<int> versionRequests {0};
    UdpResponder responder(answeringFromTheSecondVersionRequest(versionRequests));
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));
    Configuration configuration;
    configuration.setVersionService(QStringLiteral("127.0.0.1"), responder.port(), 300);
    // A fatal error shown while the retry box is open ends the application: the box's loop ends
    // without an answer, and every later modal loop would end at once.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(2); });
    QString news = QStringLiteral("before");

    const Pair entry = configuration.getLatestClientVersion(Stable, news);

    // Undo the request to quit for the test functions that follow.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    QVERIFY2(entry.first.isEmpty(), "the query went on after the application was asked to quit");
    QCOMPARE(news, QStringLiteral("before"));
    QCOMPARE(versionRequests.load(), 1);
}

void tst_UpdateChecker::repliesFromOthersAreIgnored_data()
{
    QTest::addColumn<UdpResponder::Source>("spoofSource");
    QTest::addColumn<bool>("serverAnswers");

    QTest::newRow("other port, then the server") << UdpResponder::FromOtherPort << true;
    QTest::newRow("other address, same port, then the server") << UdpResponder::FromOtherAddress << true;
    QTest::newRow("other port only: time-out") << UdpResponder::FromOtherPort << false;
    QTest::newRow("other address only: time-out") << UdpResponder::FromOtherAddress << false;
}

void tst_UpdateChecker::repliesFromOthersAreIgnored()
{
    QFETCH(UdpResponder::Source, spoofSource);
    QFETCH(bool, serverAnswers);
    // The forged datagrams reach the client first, the server's own reply right after them.
    QList<UdpResponder::Reply> versionReplies {{"99#evil", spoofSource}};
    QList<UdpResponder::Reply> newsReplies {{"evil news", spoofSource}};
    if (serverAnswers) {
        versionReplies.append({"12#good"});
        newsReplies.append({"good news"});
    }
    UdpResponder responder(
        UdpResponder::byRequest({{versionRequest, versionReplies}, {newsRequest, newsReplies}}));
    QVERIFY2(responder.isListening(), qPrintable(responder.errorString()));

    Configuration configuration;
    // Generous when the server's reply is expected, short when only the time-out can end the wait.
    configuration.setVersionService(QStringLiteral("127.0.0.1"), responder.port(),
                                    serverAnswers ? 3000 : 300);
    ModalBoxAnswerer boxes({QMessageBox::Abort});
    QString news;
    const Pair entry = configuration.getLatestClientVersion(Stable, news);

    if (serverAnswers) {
        QCOMPARE(entry, Pair(QStringLiteral("12"), QStringLiteral("good")));
        QCOMPARE(news, QStringLiteral("good news"));
        QVERIFY(boxes.seen().isEmpty());
    } else {
        QVERIFY2(entry.first.isEmpty(), qPrintable("forged version taken: " + entry.first));
        QVERIFY(news.isEmpty());
        QCOMPARE(boxes.seen().size(), 1);
    }
}

QTEST_MAIN(tst_UpdateChecker)
#include "tst_updatechecker.moc"
