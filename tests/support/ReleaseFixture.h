#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

/// Published releases for tests: client folders written from a map of relative paths to contents,
/// and `kv3-publish release` run on them with the demo key, as a maker would.
class ReleaseFixture
{
public:
    using Tree = QMap<QString, QByteArray>;

    /// `publishExe` is the kv3-publish binary; `demoKey` the private key that signs.
    ReleaseFixture(const QString& publishExe, const QString& demoKey);

    /// Writes every file of `tree` below `root`, creating folders; false when one cannot be written.
    static bool writeTree(const QString& root, const Tree& tree);

    /// Runs `kv3-publish release` for the client folder `source` as version `version` of client type
    /// `clientType` under `mirrorRoot`, with `extraArgs` (--pack, --previous, --changelog) added.
    /// False when it fails; lastOutput() then says why.
    bool publish(const QString& source, int version, const QString& clientType, const QString& mirrorRoot,
                 const QStringList& extraArgs = {});

    /// Exit code, stdout and stderr of the last run, for QVERIFY2 messages.
    QString lastOutput() const { return m_lastOutput; }

private:
    QString m_exe;
    QString m_key;
    QString m_lastOutput;
};
