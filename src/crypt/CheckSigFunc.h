#pragma once

#include "ASyncFunc.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

/// The body of a file check: an MD5 comparison when md5 is not empty, otherwise the RSA-PSS
/// signature check of the file against fileName + ".sig" with the compiled-in PUBLIC_KEY.
///
/// Runs once on a pool thread inside a CheckSignatureTaskSpecification, or directly by a caller
/// on its own thread (then with nothing connected, so its messages go nowhere). It touches only
/// its own copies of the path and checksum, its file handles and buffers; crypt_init() must have
/// run before. Failures are explained through message() ("Could not open file %1 for reading",
/// "could not read file %1 correctly"); a mismatch or a bad signature is silent.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT

public:
    CheckSigFunc(const QString& fileName, const QString& md5);

    /// checkMD5() when md5 is not empty, otherwise checkRSA().
    bool run() override;

    /// Reads the whole file at path into data; for small files (a signature).
    bool readFile(QString path, QByteArray& data);
    /// True when the file's MD5 equals md5, compared without regard to case and nothing else.
    bool checkMD5();
    /// True when fileName + ".sig" is a valid signature of the file under PUBLIC_KEY.
    bool checkRSA();

    const QString fileName;
    const QString md5;

private:
    /// The digest of the file at path, read in chunks; reports why it could not be read.
    bool hashFile(const QString& path, QCryptographicHash::Algorithm algorithm, QByteArray& digest);
    void reportOpenFailed(const QString& path);
    void reportReadFailed(const QString& path);
};
