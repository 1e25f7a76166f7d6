#pragma once

#include "KeyedFilesCommand.h"

/// `sign --key private.der FILE...`: writes FILE.sig beside every FILE, the bare 128-byte
/// RSASSA-PSS signature (SHA-1, MGF1 with SHA-1, salt length 8) of FILE's complete bytes.
/// Signs every file it can; the exit code is Success only when all were signed.
class SignCommand : public KeyedFilesCommand
{
public:
    SignCommand();

    QString name() const override;
    QString summary() const override;

    /// Writes PATH.sig for the file at `path`, replacing any earlier one only once the new one is
    /// complete. Errors go to standard error, led by `command` ("sign", "release", ...).
    static bool writeSignature(RsaKey& key, const QString& path, const char* command);

protected:
    bool processFile(RsaKey& key, const QString& path) override;
};
