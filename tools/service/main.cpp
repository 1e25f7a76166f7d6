// kv3-update-service: the reference version and banner service for Kelvaro 3 updaters.

#include "ServiceConfig.h"
#include "SignalNotifier.h"
#include "UpdateService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <cstdio>

namespace {
constexpr int exitBadConfiguration = 2;
constexpr int exitCannotListen = 1;

const char* const helpText = R"(
Answers the Kelvaro 3 updater's version query (UDP, default port 17384) and banner request (UDP,
default port 2009) from an ini file.

  version request  the client type's text and a zero byte ("3\0" from Kelvaro 3 updaters);
                   answered with "stable,beta,alpha", each entry "version#name"
  news request     "*\0"; answered with the news text of the client type the same address and
                   port asked about last, else the [news] text
  banner request   the bytes 0x01 0x01; answered with "picture URL,click URL"

Any other datagram (wrong length, missing or extra zero byte, unknown client type, longer than 33
bytes) is logged and not answered; an answer is always one datagram no longer than the updater
reads (511, 4095 and 1024 bytes). Replies are Latin-1 text without a terminating zero byte. Each
sender address gets at most 10 replies at once and 5 a second after that; further requests are
logged and not answered, so that forged requests cannot aim the service's replies at others.

Configuration (ini, UTF-8; quote values that hold commas):

  [news]
  text = "Kelvaro 3.0.12 is out <!--https://kelvaro.example/news-->"
  [banner]
  picture = http://cdn.example/banner.png
  click = https://kelvaro.example/
  [Kelvaro3]
  request = 3
  stable = 3012
  stable_name = 3.0.12
  beta = 3013
  beta_name = 3.0.13 beta
  alpha = 3014
  news = "Optional news for this client type only"

Every group other than [news] and [banner] is one client type; "request" defaults to 3, "stable"
is required, a missing "beta" repeats Stable's entry and a missing "alpha" Beta's. Without a
[banner] group banner requests go unanswered. The file is read at start and again on SIGHUP; a
file that fails the checks on SIGHUP leaves the running configuration in place and the log says
why. SIGINT and SIGTERM stop the service.

Log: one line per datagram on standard error, and at start
"listening: version ADDRESS:PORT, banner ADDRESS:PORT" with the ports actually bound.

Exit codes: 0 stopped by SIGINT or SIGTERM (or --check passed), 1 a socket could not be bound,
2 a bad command line or a bad configuration (the message names the file, group and key).)";

void printError(const QString& text)
{
    const QByteArray line = QStringLiteral("kv3-update-service: %1\n").arg(text).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

bool parsePort(const QString& text, quint16* port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kv3-update-service"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(helpText));
    parser.addHelpOption();
    const QCommandLineOption configOption(QStringList {QStringLiteral("c"), QStringLiteral("config")},
                                          QStringLiteral("The ini file to answer from (required)."),
                                          QStringLiteral("file"));
    const QCommandLineOption bindOption(QStringList {QStringLiteral("b"), QStringLiteral("bind")},
                                        QStringLiteral("Address to listen on (default 0.0.0.0)."),
                                        QStringLiteral("address"), QStringLiteral("0.0.0.0"));
    const QCommandLineOption versionPortOption(
        QStringLiteral("version-port"),
        QStringLiteral("UDP port of the version service (default 17384, 0: any)."), QStringLiteral("port"),
        QStringLiteral("17384"));
    const QCommandLineOption bannerPortOption(
        QStringLiteral("banner-port"),
        QStringLiteral("UDP port of the banner service (default 2009, 0: any)."), QStringLiteral("port"),
        QStringLiteral("2009"));
    const QCommandLineOption checkOption(
        QStringLiteral("check"),
        QStringLiteral("Only check the configuration: exit 0 when it loads, 2 when not."));
    parser.addOptions({configOption, bindOption, versionPortOption, bannerPortOption, checkOption});

    if (!parser.parse(QCoreApplication::arguments())) {
        printError(parser.errorText() + QStringLiteral(" (see --help)"));
        return exitBadConfiguration;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        printError(
            QStringLiteral("unexpected argument %1 (see --help)").arg(parser.positionalArguments().first()));
        return exitBadConfiguration;
    }
    if (!parser.isSet(configOption)) {
        printError(QStringLiteral("--config FILE is required (see --help)"));
        return exitBadConfiguration;
    }
    const QHostAddress address(parser.value(bindOption));
    if (address.isNull()) {
        printError(QStringLiteral("--bind: \"%1\" is not an IP address").arg(parser.value(bindOption)));
        return exitBadConfiguration;
    }
    quint16 versionPort = 0;
    quint16 bannerPort = 0;
    if (!parsePort(parser.value(versionPortOption), &versionPort)
        || !parsePort(parser.value(bannerPortOption), &bannerPort)) {
        printError(QStringLiteral("a port is a number from 0 to 65535"));
        return exitBadConfiguration;
    }

    const QString configPath = parser.value(configOption);
    ServiceConfig config;
    QString error;
    if (!ServiceConfig::load(configPath, &config, &error)) {
        printError(error);
        return exitBadConfiguration;
    }
    if (parser.isSet(checkOption)) {
        printError(QStringLiteral("%1: OK").arg(configPath));
        return 0;
    }

    SignalNotifier signalNotifier;
    if (!signalNotifier.install(&error)) {
        printError(error);
        return exitCannotListen;
    }
    UpdateService service(config);
    if (!service.listen(address, versionPort, bannerPort, &error)) {
        printError(error);
        return exitCannotListen;
    }
    QObject::connect(&signalNotifier, &SignalNotifier::hangup, &service, [&service, configPath] {
        ServiceConfig reloaded;
        QString problem;
        if (!ServiceConfig::load(configPath, &reloaded, &problem)) {
            UpdateService::log(QStringLiteral("SIGHUP: keeping the previous configuration: %1").arg(problem));
            return;
        }
        service.setConfig(reloaded);
        UpdateService::log(QStringLiteral("SIGHUP: configuration %1 reloaded").arg(configPath));
    });
    QObject::connect(&signalNotifier, &SignalNotifier::terminate, &app, [](int number) {
        UpdateService::log(QStringLiteral("signal %1: stopping").arg(number));
        QCoreApplication::exit(0);
    });

    const QString host = address.toString();
    UpdateService::log(QStringLiteral("listening: version %1:%2, banner %1:%3 (configuration %4)")
                           .arg(host)
                           .arg(service.versionPort())
                           .arg(service.bannerPort())
                           .arg(configPath));
    return QCoreApplication::exec();
}
