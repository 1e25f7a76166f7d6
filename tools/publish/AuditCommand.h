#pragma once

#include "Command.h"

class AuditMirror;

/// `audit --mirrors mirrors.ini --type TYPE [--pubkey public.der] [--problems-only] VERSION`:
/// checks every mirror of a mirrors.ini as the updater will use it for VERSION (product ini,
/// signature, then every listed file's size and MD5, packed files unpacked and checked too) and
/// prints one table per mirror. The exit code is Success only when every mirror is complete.
class AuditCommand : public Command
{
public:
    QString name() const override;
    QString summary() const override;
    QString description() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int execute(const QCommandLineParser& parser) override;

private:
    void printTable(const AuditMirror& audit, bool problemsOnly);
};
