#include "Command.h"

#include <QCoreApplication>

int Command::run(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const QCommandLineOption help(QStringList {QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    parser.addOption(help);
    setUp(parser);

    if (!parser.parse(args))
        return usageError(parser, parser.errorText());
    if (parser.isSet(help)) {
        out() << helpText(parser) << Qt::flush;
        return Success;
    }
    return execute(parser);
}

int Command::usageError(const QCommandLineParser& parser, const QString& problem)
{
    err() << QCoreApplication::applicationName() << ' ' << name() << ": " << problem << "\n\n"
          << helpText(parser) << Qt::flush;
    return UsageError;
}

QString Command::helpText(const QCommandLineParser& parser) const
{
    // QCommandLineParser names the executable's path alone; "kv3-publish sign" is what to type.
    QString text = parser.helpText();
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'));
    const qsizetype options = text.indexOf(QLatin1String(" [options]"));
    if (options >= 0 && options < lineEnd)
        text.replace(0, options,
                     QStringLiteral("Usage: ") + QCoreApplication::applicationName() + QLatin1Char(' ')
                         + name());
    return text;
}

QTextStream& Command::out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& Command::err()
{
    static QTextStream stream(stderr);
    return stream;
}
