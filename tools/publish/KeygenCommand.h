#pragma once

#include "Command.h"

/// `keygen --out DIR`: makes a new release key pair and writes DIR/private.der (the pair, PKCS#1
/// RSAPrivateKey, mode 0600) and DIR/public.der (the 140-byte PKCS#1 RSAPublicKey that the build
/// option KV3_PUBLIC_KEY_DER takes). Creates DIR if needed; never overwrites an existing key.
class KeygenCommand : public Command
{
public:
    QString name() const override;
    QString summary() const override;
    QString description() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int execute(const QCommandLineParser& parser) override;
};
