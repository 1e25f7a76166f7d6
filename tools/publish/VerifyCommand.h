#pragma once

#include "KeyedFilesCommand.h"

/// `verify --pubkey public.der FILE...`: checks every FILE against FILE.sig the way the updater
/// does and prints one line per file, "FILE: OK" or "FILE: FAILED (reason)". The exit code is
/// Success only when every file passes.
class VerifyCommand : public KeyedFilesCommand
{
public:
    VerifyCommand();

    QString name() const override;
    QString summary() const override;

protected:
    bool processFile(RsaKey& key, const QString& path) override;
};
