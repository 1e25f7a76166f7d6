#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

/// How reading a file for a digest went.
enum class FileReadStatus {
    Ok, ///< every byte of the file was read
    OpenFailed, ///< the file could not be opened for reading (missing, a folder, no permission)
    ReadFailed ///< opened, but fewer bytes came than the file's size, or a read failed
};

/// Bytes read per call: large enough that the per-call overhead vanishes next to the hash itself,
/// small enough to keep the check of a multi-GiB file within a few MiB of memory.
constexpr qint64 kFileHashChunkSize = 64 * 1024;

/// Digest of a file (MD5 for checksums, SHA-1 for signatures), computed in fixed-size chunks so
/// that memory stays small whatever the file's size. Reads exactly as many bytes as the file had
/// when it was opened. Safe on any thread; uses only its own file handle and buffer.
///
/// On Ok, digest holds the file's digest; otherwise digest is left unchanged.
FileReadStatus fileHash(const QString& path, QCryptographicHash::Algorithm algorithm, QByteArray& digest);
