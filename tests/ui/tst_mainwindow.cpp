// The main window with the real update engine: the start button through a whole run, the close
// question, unattended mode, the figures, the labels, the log, the error boxes, the banner, the
// change-log button and the German texts. Mirrors are scripted (TestHttpServer serving releases
// made by kv3-publish), so that a run can be held in the middle.
#include "BoxWatcher.h"
#include "ChangeLogViewer.h"
#include "Configuration.h"
#include "MainWindow.h"
#include "ReleaseFixture.h"
#include "ScratchInstallation.h"
#include "SingleInstanceChecker.h"
#include "TestHttpServer.h"
#include "Translations.h"
#include "UpdateEngine.h"
#include "UrlOpenRecorder.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {

const QString ClientType = QStringLiteral("Kelvaro3");
const QString ProductIniPath = QStringLiteral("/2/Kelvaro3.ini");

using Response = TestHttpServer::Response;

// A scratch installation of version 1, and a scripted mirror with versions 1 and 2.
struct World
{
    bool setUp()
    {
        if (!install.isValid() || !work.isValid() || !mirror.listen())
            return false;
        const ReleaseFixture::Tree version1 {
            {"kv3client_linux_amd64", "client 1\n"},
            {"kv3client_runscript.sh", "#!/bin/sh\necho one > '" + proof().toUtf8() + "'\n"},
            {"readme.txt", "read me\n"},
            {"data/voices.dat", QByteArray(100000, 'v')},
        };
        const ReleaseFixture::Tree version2 {
            {"kv3client_linux_amd64", "client 2\n"},
            {"kv3client_runscript.sh", "#!/bin/sh\necho two > '" + proof().toUtf8() + "'\n"},
            {"readme.txt", "read me, again\n"},
            {"data/voices.dat", QByteArray(150000, 'w')},
            {"plugins/codecs/opus.so", "opus\n"},
        };
        const QString source1 = work.filePath(QStringLiteral("source1"));
        const QString source2 = work.filePath(QStringLiteral("source2"));
        if (!ReleaseFixture::writeTree(source1, version1) || !ReleaseFixture::writeTree(source2, version2)
            || !ReleaseFixture::writeTree(install.path(), version1))
            return false;
        ReleaseFixture releases(QStringLiteral(KV3_PUBLISH_EXE),
                                QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der"));
        const QString changes = work.filePath(QStringLiteral("changes.txt"));
        QFile changeLog(changes);
        if (!changeLog.open(QIODevice::WriteOnly) || changeLog.write("Version 2: better voices\n") <= 0)
            return false;
        changeLog.close();
        if (!releases.publish(source1, 1, ClientType, mirrorRoot())
            || !releases.publish(source2, 2, ClientType, mirrorRoot(),
                                 {QStringLiteral("--changelog"), changes, QStringLiteral("--previous"),
                                  mirrorRoot() + QStringLiteral("/1")})) {
            qWarning("%s", qPrintable(releases.lastOutput()));
            return false;
        }
        mirror.serveDirectory(mirrorRoot());
        const QByteArray ini =
            "[mirrors]\nsize=1\n1\\mirror=m\n\n[m]\nurl=" + mirror.baseUrl().toUtf8() + "\n";
        return install.writeFile(QStringLiteral("mirrors.ini"), ini).isEmpty();
    }

    QString mirrorRoot() const { return work.filePath(QStringLiteral("mirror")); }
    QString proof() const { return work.filePath(QStringLiteral("client started")); }
    QString installed(const QString& relative) const
    {
        QFile file(install.filePath(relative));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // The product ini is held after a few bytes until resume().
    void holdRun()
    {
        mirror.setResponse(ProductIniPath, Response::file(mirrorRoot() + ProductIniPath).stallAfter(5));
    }
    void resume()
    {
        mirror.removeHandler(ProductIniPath);
        mirror.resumeStalled();
    }

    ScratchInstallation install;
    QTemporaryDir work;
    TestHttpServer mirror;
};

struct Widgets
{
    explicit Widgets(MainWindow& window)
        : engine(window.findChild<UpdateEngine*>())
        , start(window.findChild<QPushButton*>(QStringLiteral("startButton")))
        , details(window.findChild<QPushButton*>(QStringLiteral("detailsButton")))
        , changelog(window.findChild<QPushButton*>(QStringLiteral("changelogButton")))
        , log(window.findChild<QTextEdit*>(QStringLiteral("outputTextEdit")))
        , progress(window.findChild<QProgressBar*>(QStringLiteral("totalProgressBar")))
        , version(window.findChild<QLabel*>(QStringLiteral("versionLabel")))
        , banner(window.findChild<QLabel*>(QStringLiteral("banner")))
        , done(window.findChild<QLabel*>(QStringLiteral("totalSizeLabel")))
        , total(window.findChild<QLabel*>(QStringLiteral("totalTotalSizeLabel")))
        , speed(window.findChild<QLabel*>(QStringLiteral("downloadSpeedLabel")))
        , slash(window.findChild<QLabel*>(QStringLiteral("label_6")))
    {
    }
    bool complete() const
    {
        return engine && start && details && changelog && log && progress && version && banner && done
            && total && speed && slash;
    }

    UpdateEngine* engine;
    QPushButton* start;
    QPushButton* details;
    QPushButton* changelog;
    QTextEdit* log;
    QProgressBar* progress;
    QLabel* version;
    QLabel* banner;
    QLabel* done;
    QLabel* total;
    QLabel* speed;
    QLabel* slash;
};

// Runs the application's event loop, as the program does, until it is told to end (its exit
// code) or timeoutMs pass (-1); first runs once the loop runs.
int runUntilQuit(int timeoutMs, const std::function<void()>& first = {})
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    guard.start(timeoutMs);
    QTimer start;
    start.setSingleShot(true);
    if (first)
        QObject::connect(&start, &QTimer::timeout, first);
    start.start(0);
    return QCoreApplication::exec();
}

QByteArray pngBytes(const QSize& size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void readyState();
    void versionLabel_data();
    void versionLabel();
    void figures_data();
    void figures();
    void logKeepsMarkup();
    void errorsArePlainText();
    void detailsShowsTheLogAndGrowsTheWindow();

    void wholeRunThenStartKelvaro();
    void clientThatDoesNotStartKeepsTheWindowOpen();
    void closeQuestionNoKeepsRunningYesEndsTheApplication();
    void runEndsWhileTheQuestionIsOpen();
    void failedRunOffersRestart();
    void unattendedRunStartsTheClientAfterASecond();
    void unattendedRunStaysWhileTheChangeLogIsOpen();
    void fatalErrorsEndTheLoop();

    void bannerPictureAndClick_data();
    void bannerPictureAndClick();
    void changeLogButtonAsksForTheVersion();
    void secondStartBringsTheWindowForward_data();
    void secondStartBringsTheWindowForward();
    void germanTexts();

private:
    std::unique_ptr<MainWindow> makeWindow(int noUser = 0);

    std::unique_ptr<World> m_world;
    std::unique_ptr<Configuration> m_configuration;
    QTemporaryDir m_tmp;
};

void tst_MainWindow::initTestCase()
{
    QVERIFY2(m_tmp.isValid(), qPrintable(m_tmp.errorString()));
    // The runs' temporary folders go below this test's own.
    qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
    // Closing a window must not end the test's event loops; quitting is checked explicitly.
    QApplication::setQuitOnLastWindowClosed(false);
    QVERIFY2(QFileInfo::exists(QStringLiteral(KV3_PUBLISH_EXE)), "kv3-publish has not been built");
}

void tst_MainWindow::init()
{
    m_world = std::make_unique<World>();
    QVERIFY2(m_world->setUp(), "the installation and the mirror could not be set up");
    m_configuration = std::make_unique<Configuration>();
}

void tst_MainWindow::cleanup()
{
    delete ChangeLogViewer::instance();
    m_configuration.reset();
    m_world.reset();
}

std::unique_ptr<MainWindow> tst_MainWindow::makeWindow(int noUser)
{
    auto window = std::make_unique<MainWindow>(*m_configuration);
    m_configuration->clientType = ClientType;
    m_configuration->clientVersion = 2;
    m_configuration->versionName = QStringLiteral("3.0.2");
    m_configuration->channel = Stable;
    m_configuration->noUser = noUser;
    window->setUIToConfigSpecs();
    window->show();
    window->setNews();
    return window;
}

void tst_MainWindow::readyState()
{
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Kelvaro 3 Client Update"));
    QCOMPARE(w.start->text(), QStringLiteral("Start Update"));
    QVERIFY(w.start->isEnabled());
    QVERIFY(w.start->isDefault());
    QCOMPARE(w.details->text(), QStringLiteral("Details"));
    QVERIFY(w.details->isCheckable());
    QCOMPARE(w.changelog->text(), QStringLiteral("View Changes"));
    QVERIFY(!w.log->isVisible());
    for (QLabel* label : {w.done, w.total, w.speed, w.slash})
        QVERIFY2(!label->isVisible(), qPrintable(label->objectName()));
    QCOMPARE(w.progress->value(), 0);
    QCOMPARE(w.progress->maximum(), 1000);
    QCOMPARE(w.banner->size(), QSize(468, 60));
    QCOMPARE(window->layout()->sizeConstraint(), QLayout::SetFixedSize);
    // Tab order: start, details, change log, log (widgets that take no focus by Tab left out).
    QWidgetList order;
    QWidget* next = w.start;
    do {
        if (next->focusPolicy() & Qt::TabFocus)
            order.append(next);
        next = next->nextInFocusChain();
    } while (next != w.start && order.size() < 4);
    QCOMPARE(order, (QWidgetList {w.start, w.details, w.changelog, w.log}));
}

void tst_MainWindow::versionLabel_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown"); // the label as a user reads it

    QTest::newRow("stable with a name") << int(Stable) << "3.0.2"
                                        << "Update to Kelvaro 3.0.2.\nYou are currently on Stable channel.";
    QTest::newRow("beta without a name: the channel line only") << int(Beta) << ""
                                                                << "You are currently on Beta channel.";
    QTest::newRow("alpha") << int(Alpha) << "nightly"
                           << "Update to Kelvaro nightly.\nYou are currently on Alpha channel.";
    QTest::newRow("markup in the name is shown as written")
        << int(Stable) << "<img src=\"/dev/zero\"><b>3</b>"
        << "Update to Kelvaro <img src=\"/dev/zero\"><b>3</b>.\nYou are currently on Stable channel.";
}

void tst_MainWindow::versionLabel()
{
    QFETCH(int, channel);
    QFETCH(QString, name);
    QFETCH(QString, shown);
    MainWindow window(*m_configuration);
    m_configuration->channel = UpdateChannel(channel);
    m_configuration->versionName = name;
    window.setUIToConfigSpecs();
    QTextDocument document;
    document.setHtml(window.findChild<QLabel*>(QStringLiteral("versionLabel"))->text());
    QCOMPARE(document.toPlainText(), shown);
}

void tst_MainWindow::figures_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<QString>("doneText");
    QTest::addColumn<QString>("totalText");
    QTest::addColumn<QString>("speedText");

    QTest::newRow("999 B is 0 KB") << quint64(999) << quint64(1000) << quint64(0) << "0 KB"
                                   << "1 KB"
                                   << "0 KB/s";
    QTest::newRow("1,536,000 B/s is 1536 KB/s")
        << quint64(1999) << quint64(5000000) << quint64(1536000) << "1 KB"
        << "5000 KB"
        << "1536 KB/s";
    QTest::newRow("a gigabyte at 100 MB/s")
        << quint64(1000000000) << quint64(9999999999) << quint64(99999999) << "1000000 KB"
        << "9999999 KB"
        << "99999 KB/s";
    QTest::newRow("beyond 32 bits") << quint64(10000000000) << quint64(20000000999) << quint64(1023)
                                    << "10000000 KB"
                                    << "20000000 KB"
                                    << "1 KB/s";
}

void tst_MainWindow::figures()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());

    window->layout()->activate();
    const int width = window->width();
    Q_EMIT w.engine->downloadProgress(done, total, speed, true);
    for (QLabel* label : {w.done, w.total, w.speed, w.slash})
        QVERIFY2(label->isVisible(), qPrintable(label->objectName()));
    // Up to ten gigabytes and a hundred megabytes a second, the figures have their room already:
    // the window does not jump in width.
    window->layout()->activate();
    if (total < quint64(10000000000) && speed < quint64(100000000))
        QCOMPARE(window->width(), width);
    QTEST(w.done->text(), "doneText");
    QTEST(w.total->text(), "totalText");
    QTEST(w.speed->text(), "speedText");

    // The end of a run hides them again.
    Q_EMIT w.engine->downloadProgress(0, 0, 0, false);
    for (QLabel* label : {w.done, w.total, w.speed, w.slash})
        QVERIFY2(!label->isVisible(), qPrintable(label->objectName()));

    // Progress in thousandths, truncated.
    const QList<QPair<qreal, int>> bar {{0.9999, 999}, {0.5, 500}, {1.0, 1000}, {0.0015, 1}, {0.0, 0}};
    for (const auto& [fraction, value] : bar) {
        Q_EMIT w.engine->updateProgress(fraction);
        QCOMPARE(w.progress->value(), value);
    }
}

void tst_MainWindow::logKeepsMarkup()
{
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    const QStringList lines {QStringLiteral("first line"), QStringLiteral("<b>bold?</b> & <i>x</i> &amp;"),
                             QStringLiteral("<img src=\"/dev/zero\">"), QStringLiteral("last")};
    for (const QString& line : lines)
        Q_EMIT w.engine->message(line);
    QCOMPARE(w.log->toPlainText(), lines.join(QLatin1Char('\n')));
}

void tst_MainWindow::errorsArePlainText()
{
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    BoxWatcher boxes;
    const QString text = QStringLiteral("Mirror <b>evil</b> said <img src=\"/dev/zero\">");
    Q_EMIT w.engine->error(text);
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen.first().title, QStringLiteral("Error"));
    QCOMPARE(boxes.seen.first().text, text);
    QCOMPARE(boxes.seen.first().format, Qt::PlainText);
    QCOMPARE(boxes.seen.first().icon, QMessageBox::Critical);
    QVERIFY(boxes.seen.first().hasParent);
    QCOMPARE(w.log->toPlainText(), text);
    // An error alone changes nothing else: the engine decides whether the run goes on.
    QCOMPARE(w.start->text(), QStringLiteral("Start Update"));
    QVERIFY(window->isVisible());
}

void tst_MainWindow::detailsShowsTheLogAndGrowsTheWindow()
{
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    for (int i = 0; i < 30; ++i)
        Q_EMIT w.engine->message(QStringLiteral("line %1").arg(i));
    const int folded = window->height();

    QTest::mouseClick(w.details, Qt::LeftButton);
    QVERIFY(w.log->isVisible());
    QTRY_VERIFY2(window->height() > folded, "the window did not grow");
    // Scrolled to the end, after the log was shown.
    QTRY_COMPARE(w.log->verticalScrollBar()->value(), w.log->verticalScrollBar()->maximum());
    QVERIFY(w.log->verticalScrollBar()->maximum() > 0);

    QTest::mouseClick(w.details, Qt::LeftButton);
    QVERIFY(!w.log->isVisible());
    QTRY_COMPARE(window->height(), folded);
}

void tst_MainWindow::wholeRunThenStartKelvaro()
{
    m_world->holdRun();
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());

    QTest::mouseClick(w.start, Qt::LeftButton);
    // Running: the button is off and keeps its text.
    QVERIFY(w.engine->busy());
    QVERIFY(!w.start->isEnabled());
    QCOMPARE(w.start->text(), QStringLiteral("Start Update"));
    QTRY_COMPARE(m_world->mirror.stalledCount(), 1);

    QSignalSpy finished(w.engine, &UpdateEngine::updateFinished);
    m_world->resume();
    QVERIFY2(finished.wait(30000), qPrintable(w.log->toPlainText()));
    QCOMPARE(m_world->installed(QStringLiteral("kv3client_linux_amd64")), QStringLiteral("client 2\n"));
    QCOMPARE(m_world->installed(QStringLiteral("plugins/codecs/opus.so")), QStringLiteral("opus\n"));
    QVERIFY(w.log->toPlainText().contains(QLatin1String("Update successfully finished")));
    QCOMPARE(w.start->text(), QStringLiteral("Start Kelvaro"));
    QVERIFY(w.start->isEnabled());
    QCOMPARE(w.progress->value(), 1000);

    QTest::mouseClick(w.start, Qt::LeftButton);
    QVERIFY2(!window->isVisible(), qPrintable(w.log->toPlainText()));
    QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo::exists(m_world->proof()), "the client script did not run", 10000);
    QFile proof(m_world->proof());
    QVERIFY(proof.open(QIODevice::ReadOnly));
    QCOMPARE(proof.readAll(), QByteArray("two\n"));
}

void tst_MainWindow::clientThatDoesNotStartKeepsTheWindowOpen()
{
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    QSignalSpy finished(w.engine, &UpdateEngine::updateFinished);
    QTest::mouseClick(w.start, Qt::LeftButton);
    QVERIFY2(finished.wait(30000), qPrintable(w.log->toPlainText()));

    // The script lost its execute bit after the update (root ignores read and write bits only).
    QVERIFY(QFile::setPermissions(m_world->install.filePath(QStringLiteral("kv3client_runscript.sh")),
                                  QFile::ReadOwner | QFile::WriteOwner));
    QTest::mouseClick(w.start, Qt::LeftButton);
    QVERIFY2(window->isVisible(), "the window closed as if the client had started");
    QVERIFY(w.log->isVisible());
    QVERIFY2(w.log->toPlainText().contains(QLatin1String("Cannot start")), qPrintable(w.log->toPlainText()));
    QVERIFY(w.start->isEnabled());
    QCOMPARE(w.start->text(), QStringLiteral("Start Kelvaro"));
    QVERIFY(!QFileInfo::exists(m_world->proof()));
}

void tst_MainWindow::closeQuestionNoKeepsRunningYesEndsTheApplication()
{
    m_world->holdRun();
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    BoxWatcher boxes;
    QTest::mouseClick(w.start, Qt::LeftButton);
    QTRY_COMPARE(m_world->mirror.stalledCount(), 1);

    boxes.answerNext(QMessageBox::No);
    window->close();
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen.first().title, QStringLiteral("Question"));
    QCOMPARE(boxes.seen.first().format, Qt::RichText);
    QCOMPARE(boxes.seen.first().text,
             QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
    QCOMPARE(boxes.seen.first().icon, QMessageBox::Question);
    QVERIFY(window->isVisible());
    QVERIFY(w.engine->busy());

    // Yes: the run is cancelled and its end quits the application; closing again meanwhile asks
    // nothing.
    boxes.answerNext(QMessageBox::Yes);
    const int code = runUntilQuit(30000, [&window] {
        window->close();
        window->close();
    });
    QCOMPARE(code, 0);
    QCOMPARE(boxes.seen.size(), 2);
    QCOMPARE(w.engine->state, UpdateEngine::Canceled);
    QVERIFY2(w.log->toPlainText().contains(QLatin1String("User aborted update")),
             qPrintable(w.log->toPlainText()));
    // No "Update cancelled" box on the way out.
    QCOMPARE(m_world->installed(QStringLiteral("kv3client_linux_amd64")), QStringLiteral("client 1\n"));
}

void tst_MainWindow::runEndsWhileTheQuestionIsOpen()
{
    m_world->holdRun();
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    BoxWatcher boxes;
    QTest::mouseClick(w.start, Qt::LeftButton);
    QTRY_COMPARE(m_world->mirror.stalledCount(), 1);

    // While the question waits, the run goes on to its end; then the user says Yes.
    boxes.beforeNextAnswer([this, &w] {
        m_world->resume();
        QTRY_VERIFY_WITH_TIMEOUT(!w.engine->busy(), 30000);
    });
    boxes.answerNext(QMessageBox::Yes);
    window->close();
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(w.engine->state, UpdateEngine::Finished);
    QVERIFY2(!window->isVisible(), "Yes did not close the window after the run had ended");
}

void tst_MainWindow::failedRunOffersRestart()
{
    // A file where the new version needs a folder: the run fails and is rolled back.
    QVERIFY(m_world->install.writeFile(QStringLiteral("plugins"), "in the way").isEmpty());
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    BoxWatcher boxes;
    boxes.answerNext(QMessageBox::Ok);
    boxes.answerNext(QMessageBox::Ok);
    boxes.answerNext(QMessageBox::Ok);

    QSignalSpy canceled(w.engine, &UpdateEngine::updateCanceled);
    QTest::mouseClick(w.start, Qt::LeftButton);
    QVERIFY2(canceled.wait(30000), qPrintable(w.log->toPlainText()));
    QTRY_VERIFY(!boxes.seen.isEmpty());
    const BoxWatcher::Seen cancelled = boxes.seen.last();
    QCOMPARE(cancelled.title, QStringLiteral("Update"));
    QCOMPARE(cancelled.text, QStringLiteral("Update cancelled. Push \"Details\" to check reasons."));
    QCOMPARE(cancelled.icon, QMessageBox::Critical);
    QCOMPARE(w.start->text(), QStringLiteral("Restart"));
    QVERIFY(w.start->isEnabled());
    QCOMPARE(w.progress->value(), 0);
    QVERIFY(w.log->toPlainText().endsWith(QLatin1String("Update cancelled")));
    QCOMPARE(m_world->installed(QStringLiteral("kv3client_linux_amd64")), QStringLiteral("client 1\n"));
    QVERIFY(window->isVisible());

    // Out of the way, "Restart" runs a new update to its end.
    QVERIFY(QFile::remove(m_world->install.filePath(QStringLiteral("plugins"))));
    QSignalSpy finished(w.engine, &UpdateEngine::updateFinished);
    QTest::mouseClick(w.start, Qt::LeftButton);
    QVERIFY2(finished.wait(30000), qPrintable(w.log->toPlainText()));
    QCOMPARE(m_world->installed(QStringLiteral("kv3client_linux_amd64")), QStringLiteral("client 2\n"));
    QCOMPARE(w.start->text(), QStringLiteral("Start Kelvaro"));
}

void tst_MainWindow::unattendedRunStartsTheClientAfterASecond()
{
    const auto window = makeWindow(1);
    Widgets w(*window);
    QVERIFY(w.complete());
    QVERIFY(!w.start->isEnabled());
    // A click on the disabled button does nothing.
    QTest::mouseClick(w.start, Qt::LeftButton);
    QVERIFY(!w.engine->busy());

    QElapsedTimer sinceFinished;
    connect(w.engine, &UpdateEngine::updateFinished, this, [&sinceFinished] { sinceFinished.start(); });
    window->onAutoStartUpdate();
    QVERIFY(w.engine->busy());
    QTRY_VERIFY2_WITH_TIMEOUT(sinceFinished.isValid(), qPrintable(w.log->toPlainText()), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 5000);
    QVERIFY2(sinceFinished.elapsed() >= MainWindow::AutoClientStartDelayMs - 50,
             qPrintable(QStringLiteral("closed %1 ms after the end").arg(sinceFinished.elapsed())));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_world->proof()), 10000);
}

void tst_MainWindow::unattendedRunStaysWhileTheChangeLogIsOpen()
{
    const auto window = makeWindow(1);
    Widgets w(*window);
    QVERIFY(w.complete());
    QTest::mouseClick(w.changelog, Qt::LeftButton);
    QVERIFY(ChangeLogViewer::instance());

    QSignalSpy finished(w.engine, &UpdateEngine::updateFinished);
    window->onAutoStartUpdate();
    QVERIFY2(finished.wait(30000), qPrintable(w.log->toPlainText()));
    // Well past the second after which it would otherwise have closed.
    QTest::qWait(MainWindow::AutoClientStartDelayMs * 2);
    QVERIFY(window->isVisible());
    QVERIFY(!QFileInfo::exists(m_world->proof()));
    QCOMPARE(w.start->text(), QStringLiteral("Start Kelvaro"));
    QVERIFY(w.start->isEnabled());
}

void tst_MainWindow::fatalErrorsEndTheLoop()
{
    // The engine's: no mirror list.
    QVERIFY(QFile::remove(m_world->install.filePath(QStringLiteral("mirrors.ini"))));
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    BoxWatcher boxes;
    int code = runUntilQuit(10000, [&w] { QTest::mouseClick(w.start, Qt::LeftButton); });
    QCOMPARE(code, 2);
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen.first().text, QStringLiteral("mirrors.ini is missing, cannot proceed."));
    QCOMPARE(boxes.seen.first().title, QStringLiteral("Error"));
    QCOMPARE(boxes.seen.first().format, Qt::PlainText);
    QVERIFY(boxes.seen.first().hasParent);

    // The configuration's: a box without parent, exit code 1.
    code =
        runUntilQuit(10000, [this] { Q_EMIT m_configuration->fatalError(QStringLiteral("<b>bad</b> ini")); });
    QCOMPARE(code, 1);
    QCOMPARE(boxes.seen.size(), 2);
    QCOMPARE(boxes.seen.last().text, QStringLiteral("<b>bad</b> ini"));
    QCOMPARE(boxes.seen.last().format, Qt::PlainText);
    QVERIFY(!boxes.seen.last().hasParent);
}

void tst_MainWindow::bannerPictureAndClick_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("clickUrl");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("tooltip");
    QTest::addColumn<bool>("opens");

    QTest::newRow("picture with a web link") << pngBytes(QSize(468, 60)) << "https://ads.example/kv3?id=1"
                                             << true << "Click to open \"https://ads.example\"" << true;
    QTest::newRow("picture of another size is stretched")
        << pngBytes(QSize(100, 20)) << "http://ads.example/" << true << "Click to open \"http://ads.example\""
        << true;
    QTest::newRow("picture with a file link: shown, opens nothing")
        << pngBytes(QSize(468, 60)) << "file:///usr/bin/xterm" << true << "Click to open \"file://\""
        << false;
    QTest::newRow("not a picture: nothing changes")
        << QByteArray("<html>not found</html>") << "https://ads.example/" << false << "" << false;
    QTest::newRow("nothing arrived") << QByteArray() << "https://ads.example/" << false << "" << false;
}

void tst_MainWindow::bannerPictureAndClick()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, clickUrl);
    QFETCH(bool, shown);
    QFETCH(bool, opens);
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    UrlOpenRecorder desktop;

    Q_EMIT w.engine->bannerFound(image, clickUrl);
    QCOMPARE(!w.banner->pixmap().isNull(), shown);
    QTEST(w.banner->toolTip(), "tooltip");
    QCOMPARE(w.banner->size(), QSize(468, 60));

    QTest::mousePress(w.banner, Qt::LeftButton);
    QCOMPARE(desktop.opened.size(), opens ? 1 : 0);
    if (opens)
        QCOMPARE(desktop.opened.first(), QUrl(clickUrl));
}

void tst_MainWindow::changeLogButtonAsksForTheVersion()
{
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    QTest::mouseClick(w.changelog, Qt::LeftButton);
    ChangeLogViewer* viewer = ChangeLogViewer::instance();
    QVERIFY(viewer);
    QCOMPARE(viewer->parentWidget(), window.get());
    QTRY_COMPARE_WITH_TIMEOUT(viewer->text(), QStringLiteral("Version 2: better voices\n"), 10000);
    QCOMPARE(m_world->mirror.requestCount(QStringLiteral("/2/changelog_client.txt")), 1);
    // Again: the same dialog, no new request.
    QTest::mouseClick(w.changelog, Qt::LeftButton);
    QCOMPARE(ChangeLogViewer::instance(), viewer);
    QCOMPARE(m_world->mirror.requestCount(QStringLiteral("/2/changelog_client.txt")), 1);
}

void tst_MainWindow::secondStartBringsTheWindowForward_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("forward");
    QTest::newRow("#") << "#" << true;
    QTest::newRow("another message") << "##" << false;
}

void tst_MainWindow::secondStartBringsTheWindowForward()
{
    QFETCH(QString, message);
    QFETCH(bool, forward);
    const auto window = makeWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QVERIFY(!window->isActiveWindow());

    // What a second start of the program does, from this process.
    QVERIFY(SingleInstanceChecker::checkExistingInstance(message));
    if (forward) {
        QTRY_VERIFY(window->isActiveWindow());
    } else {
        // The message is read on the next pass of the event loop; nothing comes of it.
        QSignalSpy spy(window->findChild<SingleInstanceChecker*>(),
                       &SingleInstanceChecker::otherInstanceActivate);
        QVERIFY(spy.wait(5000));
        QCoreApplication::processEvents();
        QVERIFY(other.isActiveWindow());
        QVERIFY(!window->isActiveWindow());
    }
}

void tst_MainWindow::germanTexts()
{
    QTranslator own;
    QTranslator toolkit;
    Translations::install(*QCoreApplication::instance(), own, toolkit, QStringLiteral("de_DE"));
    struct Uninstall
    {
        QTranslator& a;
        QTranslator& b;
        ~Uninstall()
        {
            QCoreApplication::removeTranslator(&a);
            QCoreApplication::removeTranslator(&b);
        }
    } uninstall {own, toolkit};

    m_world->holdRun();
    const auto window = makeWindow();
    Widgets w(*window);
    QVERIFY(w.complete());
    QCOMPARE(w.start->text(), QStringLiteral("Update starten"));
    QCOMPARE(w.changelog->text(), QStringLiteral("Änderungen"));
    QTextDocument document;
    document.setHtml(w.version->text());
    QCOMPARE(document.toPlainText(),
             QStringLiteral("Update auf Kelvaro 3.0.2.\nSie benutzen den Stable Channel."));

    BoxWatcher boxes;
    boxes.answerNext(QMessageBox::No);
    QTest::mouseClick(w.start, Qt::LeftButton);
    QTRY_COMPARE(m_world->mirror.stalledCount(), 1);
    window->close();
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen.first().title, QStringLiteral("Frage"));
    QCOMPARE(boxes.seen.first().text,
             QStringLiteral("<p>Aktualisierung läuft momentan.</p><p>Wirklich abbrechen?</p>"));
    if (QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath)
                          + QStringLiteral("/qtbase_de.qm")))
        QCOMPARE(boxes.seen.first().buttons.join(QLatin1Char(',')), QStringLiteral("&Ja,&Nein"));

    QSignalSpy finished(w.engine, &UpdateEngine::updateFinished);
    m_world->resume();
    QVERIFY2(finished.wait(30000), qPrintable(w.log->toPlainText()));
    QCOMPARE(w.start->text(), QStringLiteral("Kelvaro starten"));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
