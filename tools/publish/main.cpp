// kv3-publish: the makers' tool for release keys and signatures.

#include "AuditCommand.h"
#include "Command.h"
#include "CryptoHelper.h"
#include "KeygenCommand.h"
#include "RehearseCommand.h"
#include "ReleaseCommand.h"
#include "SignCommand.h"
#include "VerifyCommand.h"
#include "crypt_exception.h"

#include <QCoreApplication>
#include <QTextStream>

#include <memory>
#include <vector>

namespace {
void printOverview(QTextStream& stream, const std::vector<std::unique_ptr<Command>>& commands)
{
    stream << "Usage: kv3-publish COMMAND [options]\n\n"
           << "Release keys and signatures for the Kelvaro 3 updater.\n\nCommands:\n";
    for (const auto& command : commands)
        stream << "  " << command->name().leftJustified(8) << ' ' << command->summary() << '\n';
    stream << "\nkv3-publish COMMAND --help describes one command.\n" << Qt::flush;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kv3-publish"));

    std::vector<std::unique_ptr<Command>> commands;
    commands.push_back(std::make_unique<KeygenCommand>());
    commands.push_back(std::make_unique<SignCommand>());
    commands.push_back(std::make_unique<VerifyCommand>());
    commands.push_back(std::make_unique<ReleaseCommand>());
    commands.push_back(std::make_unique<AuditCommand>());
    commands.push_back(std::make_unique<RehearseCommand>());

    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        printOverview(err, commands);
        return Command::UsageError;
    }
    const QString word = args.at(1);
    if (word == QLatin1String("--help") || word == QLatin1String("-h") || word == QLatin1String("help")) {
        printOverview(out, commands);
        return Command::Success;
    }

    try {
        crypt_init();
    } catch (const crypt_exception& e) {
        err << "kv3-publish: " << e.what() << '\n' << Qt::flush;
        return Command::Failure;
    }

    for (const auto& command : commands) {
        if (command->name() == word) {
            return command->run(args.mid(1));
        }
    }
    err << "kv3-publish: unknown command " << word << "\n\n" << Qt::flush;
    printOverview(err, commands);
    return Command::UsageError;
}
