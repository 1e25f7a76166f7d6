#include "KeyedFilesCommand.h"

#include "RsaKey.h"

#include <utility>

KeyedFilesCommand::KeyedFilesCommand(Syntax syntax)
    : m_syntax(std::move(syntax))
{
}

void KeyedFilesCommand::setUp(QCommandLineParser& parser)
{
    parser.addOption({m_syntax.keyOption, m_syntax.keyDescription, m_syntax.keyFileName});
    parser.addPositionalArgument(QStringLiteral("FILE"), m_syntax.filesDescription,
                                 QStringLiteral("FILE..."));
}

int KeyedFilesCommand::execute(const QCommandLineParser& parser)
{
    if (!parser.isSet(m_syntax.keyOption))
        return usageError(
            parser, QStringLiteral("--%1 %2 is required").arg(m_syntax.keyOption, m_syntax.keyFileName));
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        return usageError(parser, m_syntax.noFilesError);

    RsaKey key;
    QString error;
    if (!KeyFile::load(parser.value(m_syntax.keyOption), m_syntax.keyNeed, key, &error)) {
        err() << name() << ": " << error << '\n' << Qt::flush;
        return Failure;
    }
    int result = Success;
    for (const QString& path : files) {
        if (!processFile(key, path))
            result = Failure;
    }
    out() << Qt::flush;
    err() << Qt::flush;
    return result;
}
