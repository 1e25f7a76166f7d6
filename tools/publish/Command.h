#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <QTextStream>

/// One subcommand of kv3-publish ("keygen", "sign", ...). A subclass declares its options in
/// setUp() and does its work in execute(); run() parses the command line, answers --help and
/// reports usage errors, so every subcommand behaves the same way.
///
/// Exit codes: 0 success, 1 the work failed, 2 the command line was wrong.
class Command
{
public:
    enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

    virtual ~Command() = default;

    /// The word that selects the subcommand on the command line.
    virtual QString name() const = 0;
    /// One line for the overview of all subcommands.
    virtual QString summary() const = 0;
    /// The text under the usage line of --help; the summary unless a subcommand says more.
    virtual QString description() const { return summary(); }

    /// args[0] is the program name, the rest follows the subcommand's name.
    int run(const QStringList& args);

protected:
    /// Adds options and positional arguments; the description and --help are already there.
    virtual void setUp(QCommandLineParser& parser) = 0;
    /// Does the work after a successful parse; returns an ExitCode.
    virtual int execute(const QCommandLineParser& parser) = 0;

    /// The parser's help text, its usage line naming the program and the subcommand.
    QString helpText(const QCommandLineParser& parser) const;
    /// Reports a command-line mistake with the usage text and returns UsageError.
    int usageError(const QCommandLineParser& parser, const QString& problem);

    static QTextStream& out();
    static QTextStream& err();
};
