#pragma once

#include "ReleaseFixture.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

/// An end-to-end world for the real `update` binary: two client versions (1 and 2) published
/// with `kv3-publish release` into a mirror folder (version 2 with --previous 1 and packed
/// libraries), and an installation of version 1 with a copy of the updater, in one scratch folder.
/// The updater runs with its own TMPDIR, so its temporary folders can be checked.
///
/// Version 2 changes two files, packs one new library, keeps one file, and no longer has
/// `data/old-only.txt` (nor, with `manyDeletions`, 3000 small files). With `largeFiles`, three
/// 48 MiB files change between the versions, so that the plan, the downloads and the replacement
/// take long enough to be interrupted.
class UpdateScenario
{
public:
    struct Options
    {
        bool largeFiles = false;
        bool manyDeletions = false;
        /// Version 2 ships its own updater ("update", 160 MiB with padding, so that copying it takes
        /// a while); the installation starts with the plain one.
        bool newUpdater = false;
        /// The client type the releases are published for.
        QString clientType = QStringLiteral("Kelvaro3");
    };

    struct Run
    {
        int exitCode = -1;
        /// Ended by the kill the caller asked for.
        bool killed = false;
        /// Still running at the deadline (then killed).
        bool timedOut = false;
        /// Everything the updater wrote to standard error (its log).
        QString log;
    };

    UpdateScenario();

    /// Builds the trees, publishes both versions and installs version 1. False with *error set.
    bool setUp(const Options& options, QString* error);

    QString mirrorRoot() const { return m_dir.filePath(QStringLiteral("mirror")); }
    QString installDir() const { return m_dir.filePath(QStringLiteral("install")); }
    /// The TMPDIR of every run.
    QString tempRoot() const { return m_dir.filePath(QStringLiteral("tmp")); }
    /// The file the client start script writes when the updater starts the client.
    QString clientStartedMark() const { return m_dir.filePath(QStringLiteral("client-started")); }
    QString scratch(const QString& name) const { return m_dir.filePath(name); }

    const ReleaseFixture::Tree& oldTree() const { return m_v1; }
    const ReleaseFixture::Tree& newTree() const { return m_v2; }

    /// Writes mirrors.ini in the installation with one mirror at baseUrl.
    bool writeMirrorsIni(const QString& baseUrl);
    /// Writes update.ini in the installation (empty content removes it).
    bool writeUpdateIni(const QByteArray& content);

    /// Runs the installed updater with args and waits at most timeoutMs for it to end. When
    /// killWhen is given, it is asked with the log so far every few milliseconds, and a true answer
    /// kills the updater with SIGKILL at once. stopWhen does the same with SIGTERM, for a run that ends
    /// in a modal box nobody answers.
    Run run(const QStringList& args, int timeoutMs, const std::function<bool(const QString&)>& killWhen = {},
            const std::function<bool(const QString&)>& stopWhen = {});

    /// How the installation differs from tree (besides the updater when tree has none, update.ini,
    /// mirrors.ini and "_old_" copies, which leftovers() reports); empty when every file of tree
    /// is there with its bytes and nothing else is.
    QString differencesFrom(const ReleaseFixture::Tree& tree) const;
    /// What an interrupted or finished run left behind that a converged installation must not
    /// have: "_old_" copies of ordinary files, "kelvaro_temp_" folders, a session record.
    QStringList leftovers() const;

private:
    QTemporaryDir m_dir;
    ReleaseFixture m_fixture;
    ReleaseFixture::Tree m_v1;
    ReleaseFixture::Tree m_v2;
};
