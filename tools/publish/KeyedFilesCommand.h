#pragma once

#include "Command.h"
#include "KeyFile.h"

class RsaKey;

/// A subcommand of the form `NAME --OPTION KEYFILE FILE...` that loads one release key and then
/// handles every file in turn (sign, verify). It checks the command line, loads the key, and
/// carries on past a file that fails; the exit code is Success only when every file succeeded.
class KeyedFilesCommand : public Command
{
public:
    /// What the subcommand's command line looks like.
    struct Syntax
    {
        QString keyOption; ///< e.g. "key"
        QString keyFileName; ///< the value's name in help, e.g. "private.der"
        QString keyDescription; ///< help for the option
        KeyFile::Need keyNeed; ///< what the key must hold
        QString filesDescription; ///< help for the FILE arguments
        QString noFilesError; ///< the complaint when no FILE is given
    };

    explicit KeyedFilesCommand(Syntax syntax);

protected:
    /// Handles one file and reports on it; returns false when it failed.
    virtual bool processFile(RsaKey& key, const QString& path) = 0;

    void setUp(QCommandLineParser& parser) final;
    int execute(const QCommandLineParser& parser) final;

private:
    const Syntax m_syntax;
};
