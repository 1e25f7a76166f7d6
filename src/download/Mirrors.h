#pragma once

#include "FTPSiteAccessData.h"

#include <QObject>
#include <QString>
#include <QVector>

class QSettings;
class RandomGenerator;

// The mirror pool of one update run. It hands a mirror to every transfer that asks, chosen at random
// and weighted by the free use slots of each mirror, limits the transfers per mirror to its slots,
// counts errors and drops a mirror that fails too often. Mirrors only ever leave the pool, and
// error counts are never cleared, for the life of the pool.
//
// Lives on the GUI thread and is used only from it; no locks.
class Mirrors : public QObject
{
    Q_OBJECT

public:
    // An empty pool. `random` picks the mirrors; nullptr means the program's generator
    // (RandomGenerator::program()). A given generator is not owned and must outlive the pool.
    explicit Mirrors(QObject* parent, RandomGenerator* random = nullptr);

    // The most mirrors a pool takes from mirrors.ini; real lists name a handful.
    static constexpr int MaxMirrors = 1000;

    // Fills the pool from the mirrors.ini at `iniFile`, every URL completed with `version`. A
    // missing or empty file gives an empty pool; always returns true. Of a list longer than
    // MaxMirrors only the first MaxMirrors are taken, and message() says so.
    bool initDefault(QString iniFile, int version);
    // Fills the pool with the one alpha mirror named by group "Channel", key "alpha" of the
    // update.ini at `updateIniFile`. Emits fatalError() and returns false when that entry is
    // missing or empty.
    bool initAlpha(QString updateIniFile, int version);
    // Second half of initDefault(): reads the group of every mirror already listed and completes
    // its entry.
    void setDefaults(QSettings& settings, int version);

    // Asks for a mirror for one transfer:
    //  0: `mirror` is a copy of the chosen entry, whose use slot is already taken; give it back with
    //     releaseMirror() when the transfer ends.
    //  1: the pool is empty; the first such answer of a pool also emits message().
    //  2: every use slot is taken; ask again when another transfer has ended.
    // `mirror` is only written for result 0.
    int getRandomMirror(FTPSiteAccessData& mirror);
    // Gives back one use slot of the named mirror. Unknown names are ignored.
    void releaseMirror(const QString& name);
    // Counts an error against the named mirror and removes it, with a message(), once its errors
    // exceed its allowance. Unknown names are ignored.
    void addMirrorError(const QString& name);
    // Removes the named mirror at once, without a message; its use slots vanish with it.
    void removeMirror(const QString& name);
    // Position of the first entry with exactly this name, or -1.
    int getMirrorIndex(const QString& name);
    // Sum of the use slots and of the slots in use over all mirrors.
    void calcUseStats(int& slots, int& used);

    // The entries, in the order they were read.
    QVector<FTPSiteAccessData> mirrors;
    // The empty-pool message has been sent; never cleared.
    bool noMirrorsReported = false;

Q_SIGNALS:
    // The update cannot go on (only the missing alpha entry).
    void fatalError(QString errorMessage);
    // A line for the log.
    void message(QString message);

private:
    RandomGenerator* m_random;
};
