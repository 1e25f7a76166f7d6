#include "Configuration.h"

#include "LogCategory.h"
#include "SettingsText.h"
#include "UpdateChecker.h"
#include "UpdateIniData.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

QString& appRootOverride()
{
    static QString path;
    return path;
}

} // namespace

QString Configuration::defaultVersionServerHost()
{
    return QStringLiteral(KV3_UPDATE_SERVER);
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& arguments)
{
    getUpdateChannel();
    noUser = 0;

    // Positions count the program name as 0, so "argument n" is arguments[n].
    const int argumentCount = int(arguments.size()) - 1;
    if (argumentCount >= 1 && arguments.at(1) == QLatin1String("--nouser")) {
        if (argumentCount >= 3 && !getClientTypeVersion(arguments, 2))
            return false;
        if (argumentCount >= 4 && arguments.at(4) != QLatin1String("#"))
            versionName = arguments.at(4);
        if (argumentCount >= 5)
            news = arguments.at(5);
        if (!getDefaultParameters())
            return false;
        noUser = 1;
        return true;
    }
    if (argumentCount == 2)
        return getClientTypeVersion(arguments, 1);
    return getDefaultParameters();
}

bool Configuration::getDefaultParameters()
{
    if (clientType.isEmpty())
        clientType = getUpdateType();
    if (clientVersion != 0)
        return true;

    const QPair<QString, QString> latest = getLatestClientVersion(channel, news);
    // An empty version means the user gave up or the service has no entry for the channel: the
    // start-up ends without a further message.
    if (latest.first.isEmpty())
        return false;
    if (!getClientVersionFromString(latest.first,
                                    QObject::tr("Update server returned invalid version nr (%1)")))
        return false;
    versionName = latest.second;
    return true;
}

bool Configuration::getClientTypeVersion(const QStringList& arguments, int index)
{
    if (index < 0 || index >= arguments.size()) {
        Q_EMIT fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    clientType = arguments.at(index);
    if (index + 1 >= arguments.size()) {
        Q_EMIT fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return getClientVersionFromString(arguments.at(index + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::getClientVersionFromString(const QString& text, const QString& errorFormat)
{
    // A revision pinned for the Alpha channel wins over any version given elsewhere.
    if (clientVersion != 0)
        return true;
    bool ok = false;
    clientVersion = text.toInt(&ok, 10);
    if (ok)
        return true;
    clientVersion = 0;
    Q_EMIT fatalError(errorFormat.arg(text));
    return false;
}

bool Configuration::initalizeStart(const QString& sessionDirectory)
{
    if (sessionDirectory.isEmpty())
        return createTempDir();
    tempDir = sessionDirectory;
    return true;
}

void Configuration::getUpdateChannel()
{
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = SettingsText::value(settings, QStringLiteral("alpha"));
    const bool beta = SettingsText::variant(settings, QStringLiteral("beta")).toBool();
    if (!alpha.isEmpty()) {
        channel = Alpha;
        clientVersion = SettingsText::variant(settings, QStringLiteral("alphaRevno")).toInt();
    } else {
        channel = beta ? Beta : Stable;
        clientVersion = 0;
    }
    settings.endGroup();
}

void Configuration::getProxyAndDownloadConcurrency()
{
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = SettingsText::value(settings, QStringLiteral("proxy"));
    const QVariant streams = SettingsText::variant(settings, QStringLiteral("streams"));
    downloadStreams = streams.isValid() ? streams.toInt() : 6;
    if (downloadStreams < 1)
        downloadStreams = 6;
    settings.endGroup();
}

QString Configuration::getTempBasePath()
{
    const QString base = QDir::tempPath();
    // The toolkit answers nothing for a TMPDIR that does not exist yet; that directory is still
    // the one the user asked for, and createTempDir() creates it together with its parents.
    if (base.isEmpty() && !qEnvironmentVariableIsEmpty("TMPDIR"))
        return QDir::cleanPath(QDir(qEnvironmentVariable("TMPDIR")).absolutePath());
    return base;
}

bool Configuration::createTempDir()
{
    QString base = getTempBasePath();
    if (base.isEmpty()) {
        Q_EMIT fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += QLatin1String("kelvaro_temp_");

    for (int number = 0; number < 1000; ++number) {
        const QString candidate = base + QString::number(number);
        const QString parent = QFileInfo(candidate).absolutePath();
        if (!QFileInfo::exists(parent))
            QDir().mkpath(parent);
        // One mkdir that fails when the name exists: the existence test and the creation are a
        // single step, so two updaters can never end up in the same session directory.
        // Downloads wait here between their check and their installation, so no other user may
        // change them: the mode is 0700 whatever the umask says.
        const QByteArray path = QFile::encodeName(candidate);
        if (::mkdir(path.constData(), S_IRWXU) != 0)
            continue;
        ::chmod(path.constData(), S_IRWXU);
        tempDir = candidate;
        return true;
    }
    Q_EMIT fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

QPair<QString, QString> Configuration::getLatestClientVersion(UpdateChannel channel, QString& news)
{
    UpdateChecker checker(m_versionHost, m_versionPort, m_versionTimeoutMs);
    while (!checker.checkUpdate()) {
        const QString title = QObject::tr("Error");
        const QString text = QObject::tr("Failed to query latest client\nversion from update server.");
        logUpdateLine(text);
        QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Retry | QMessageBox::Abort);
        box.setDefaultButton(QMessageBox::NoButton);
        // Only Retry asks again. A box that ends without an answer was closed by a request to quit
        // the application (a fatal error shown meanwhile); every later box would end at once, so
        // asking again would loop without the user for as long as the service stays silent.
        if (box.exec() != QMessageBox::Retry)
            return {};
    }
    const QPair<QString, QString> entry = checker.getClientVersionByChannel(channel);
    news = checker.news;
    return entry;
}

void Configuration::setVersionService(const QString& host, quint16 port, int receiveTimeoutMs)
{
    m_versionHost = host;
    m_versionPort = port;
    m_versionTimeoutMs = receiveTimeoutMs;
}

bool Configuration::isSpecialFileName(const QString& fileName)
{
    return getSpecialFileNames().contains(fileName, Qt::CaseSensitive);
}

QString Configuration::getAppRootPath()
{
    if (!appRootOverride().isEmpty())
        return appRootOverride();
    return QCoreApplication::applicationDirPath();
}

void Configuration::setAppRootPathOverride(const QString& path)
{
    appRootOverride() = path;
}

QString Configuration::getUpdateType()
{
    return QStringLiteral("client_linux_x86");
}

QString Configuration::getClientBinaryName()
{
    return QStringLiteral("kv3client_runscript.sh");
}

const QString& Configuration::getSpecialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

QStringList Configuration::getSpecialFileNames()
{
    return {QStringLiteral("update"),
            QStringLiteral("libQtCore.so.4"),
            QStringLiteral("libQtGui.so.4"),
            QStringLiteral("libQtNetwork.so.4"),
            QStringLiteral("libqgif.so"),
            QStringLiteral("libqjpeg.so"),
            QStringLiteral("libqtaccessiblewidgets.so")};
}
