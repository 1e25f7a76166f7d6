#pragma once

#include <QString>
#include <QStringList>

/// Drives the `openssl` command-line tool, an implementation of RSA and RSASSA-PSS independent of
/// libtomcrypt, so that tests can prove the signature format against it. Every function runs
/// openssl synchronously and returns false when it is missing or fails; lastError() then says why.
///
/// The PSS parameters are always those of release signatures: SHA-1, MGF1 with SHA-1, salt 8.
class OpenSslTool
{
public:
    /// True when an `openssl` executable is on the PATH.
    static bool available();

    /// Runs openssl with args; true on exit code 0.
    bool run(const QStringList& args);

    /// A new RSA private key of the given size, PEM, at pemPath.
    bool makeKey(const QString& pemPath, int bits = 1024);
    /// The public half of a PEM private key as DER PKCS#1 RSAPublicKey (what libtomcrypt reads).
    bool exportRsaPublicKeyDer(const QString& privatePem, const QString& derPath);
    /// A DER PKCS#1 private key (as kv3-publish keygen writes it) converted to PEM.
    bool privateDerToPem(const QString& privateDer, const QString& pemPath);
    /// A DER PKCS#1 RSAPublicKey converted to a PEM SubjectPublicKeyInfo for `openssl dgst -verify`.
    bool rsaPublicKeyDerToPem(const QString& publicDer, const QString& pemPath);

    /// Writes the PSS signature of file under privatePem to sigPath.
    bool sign(const QString& privatePem, const QString& file, const QString& sigPath);
    /// True when sigPath holds a valid PSS signature of file under publicPem.
    bool verify(const QString& publicPem, const QString& file, const QString& sigPath);

    /// The command and output of the last failed call, for QVERIFY2 messages.
    QString lastError() const { return m_lastError; }

private:
    QString m_lastError;
};
