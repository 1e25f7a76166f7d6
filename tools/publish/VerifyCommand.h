#pragma once

#include "Command.h"

/// `verify --pubkey public.der FILE...`: checks every FILE against FILE.sig the way the updater
/// does and prints one line per file, "FILE: OK" or "FILE: FAILED (reason)". The exit code is
/// Success only when every file passes.
class VerifyCommand : public Command
{
public:
    QString name() const override;
    QString summary() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int execute(const QCommandLineParser& parser) override;
};
