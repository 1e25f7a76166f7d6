// The settings read from update.ini: channel, pinned alpha revision, proxy, parallel downloads;
// and the fixed names of the installation.
#include "Configuration.h"
#include "ScratchInstallation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_Settings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void channel_data();
    void channel();
    void proxyAndStreams_data();
    void proxyAndStreams();
    void updateIniIsAFolder();
    void appRootPath();
    void isSpecialFileName_data();
    void isSpecialFileName();

private:
    void writeUpdateIni(const QByteArray& contents);
    QScopedPointer<ScratchInstallation> m_root;
};

void tst_Settings::init()
{
    m_root.reset(); // one application root at a time
    m_root.reset(new ScratchInstallation);
    QVERIFY2(m_root->isValid(), qPrintable(m_root->errorString()));
}

void tst_Settings::writeUpdateIni(const QByteArray& contents)
{
    const QString error = m_root->writeFile(QStringLiteral("update.ini"), contents);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void tst_Settings::channel_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("clientVersion");

    QTest::newRow("no update.ini") << QByteArray() << int(Stable) << 0;
    QTest::newRow("empty file") << QByteArray("") << int(Stable) << 0;
    QTest::newRow("garbage") << QByteArray("\x01\xff[[=\n=\n[Channel\nbeta") << int(Stable) << 0;
    QTest::newRow("alpha set, no revision") << QByteArray("[Channel]\nalpha=x\n") << int(Alpha) << 0;
    QTest::newRow("alpha wins over beta")
        << QByteArray("[Channel]\nalpha=x\nbeta=true\nalphaRevno=42\n") << int(Alpha) << 42;
    QTest::newRow("alpha revision not a number")
        << QByteArray("[Channel]\nalpha=x\nalphaRevno=abc\n") << int(Alpha) << 0;
    QTest::newRow("alpha URL with a comma still selects alpha")
        << QByteArray("[Channel]\nalpha=http://a.example/x,y\n") << int(Alpha) << 0;
    QTest::newRow("revision ignored without alpha")
        << QByteArray("[Channel]\nalphaRevno=42\n") << int(Stable) << 0;
    QTest::newRow("alpha empty, beta true") << QByteArray("[Channel]\nalpha=\nbeta=true\n") << int(Beta) << 0;
    QTest::newRow("beta 1") << QByteArray("[Channel]\nbeta=1\n") << int(Beta) << 0;
    QTest::newRow("beta any other word") << QByteArray("[Channel]\nbeta=yes\n") << int(Beta) << 0;
    QTest::newRow("beta with a comma is still a text")
        << QByteArray("[Channel]\nbeta=a,b\n") << int(Beta) << 0;
    QTest::newRow("beta false") << QByteArray("[Channel]\nbeta=false\n") << int(Stable) << 0;
    QTest::newRow("beta FALSE") << QByteArray("[Channel]\nbeta=FALSE\n") << int(Stable) << 0;
    QTest::newRow("beta 0") << QByteArray("[Channel]\nbeta=0\n") << int(Stable) << 0;
    QTest::newRow("beta empty") << QByteArray("[Channel]\nbeta=\n") << int(Stable) << 0;
    QTest::newRow("keys of another group")
        << QByteArray("[update]\nalpha=x\nbeta=true\n") << int(Stable) << 0;
}

void tst_Settings::channel()
{
    QFETCH(QByteArray, updateIni);
    if (!updateIni.isNull())
        writeUpdateIni(updateIni);
    Configuration configuration;
    configuration.clientVersion = 5; // the channel decides it, also back to 0
    configuration.getUpdateChannel();
    QTEST(int(configuration.channel), "channel");
    QTEST(configuration.clientVersion, "clientVersion");
}

void tst_Settings::proxyAndStreams_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<int>("streams");

    QTest::newRow("no update.ini") << QByteArray() << "" << 6;
    QTest::newRow("streams 0") << QByteArray("[update]\nstreams=0\n") << "" << 6;
    QTest::newRow("streams -3") << QByteArray("[update]\nstreams=-3\n") << "" << 6;
    QTest::newRow("streams a word") << QByteArray("[update]\nstreams=many\n") << "" << 6;
    QTest::newRow("streams empty") << QByteArray("[update]\nstreams=\n") << "" << 6;
    QTest::newRow("streams 1") << QByteArray("[update]\nstreams=1\n") << "" << 1;
    QTest::newRow("streams 40, no upper bound") << QByteArray("[update]\nstreams=40\n") << "" << 40;
    QTest::newRow("proxy") << QByteArray("[update]\nproxy=http://proxy.example:8080\nstreams=3\n")
                           << "http://proxy.example:8080" << 3;
    QTest::newRow("proxy with a comma is kept whole")
        << QByteArray("[update]\nproxy=http://proxy.example/a,b\n") << "http://proxy.example/a,b" << 6;
    QTest::newRow("quoted proxy") << QByteArray("[update]\nproxy=\"http://p.example:3128\"\n")
                                  << "http://p.example:3128" << 6;
    QTest::newRow("keys of another group") << QByteArray("[Channel]\nproxy=http://p\nstreams=2\n") << "" << 6;
}

void tst_Settings::proxyAndStreams()
{
    QFETCH(QByteArray, updateIni);
    if (!updateIni.isNull())
        writeUpdateIni(updateIni);
    Configuration configuration;
    configuration.getProxyAndDownloadConcurrency();
    QTEST(configuration.proxy, "proxy");
    QTEST(configuration.downloadStreams, "streams");
}

void tst_Settings::updateIniIsAFolder()
{
    // Unreadable settings read as defaults, without a message.
    QVERIFY(QDir(m_root->path()).mkdir(QStringLiteral("update.ini")));
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    configuration.getUpdateChannel();
    configuration.getProxyAndDownloadConcurrency();
    QCOMPARE(configuration.channel, Stable);
    QCOMPARE(configuration.downloadStreams, 6);
    QVERIFY(configuration.proxy.isEmpty());
    QVERIFY(fatal.isEmpty());
}

void tst_Settings::appRootPath()
{
    Configuration::setAppRootPathOverride(QString());
    const QString root = Configuration::getAppRootPath();
    QCOMPARE(root, QCoreApplication::applicationDirPath());
    QVERIFY2(QDir::isAbsolutePath(root), qPrintable(root));
    QVERIFY2(!root.endsWith(QLatin1Char('/')), qPrintable(root));
}

void tst_Settings::isSpecialFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("special");
    QTest::newRow("the updater") << "update" << true;
    QTest::newRow("a toolkit library") << "libQtGui.so.4" << true;
    QTest::newRow("a plug-in") << "libqtaccessiblewidgets.so" << true;
    QTest::newRow("other letter case") << "libqtgui.so.4" << false;
    QTest::newRow("behind a directory") << "imageformats/libqjpeg.so" << false;
    QTest::newRow("the old copy") << "_old_update" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("the client") << "kv3client_runscript.sh" << false;
}

void tst_Settings::isSpecialFileName()
{
    QFETCH(QString, name);
    QTEST(Configuration::isSpecialFileName(name), "special");
}

QTEST_MAIN(tst_Settings)
#include "tst_settings.moc"
