// A hostile mirrors.ini read into the mirror pool, and the pool then used as the transfers use it:
// every use slot taken, given back, errors counted until no mirror is left. The same bytes are also
// read as the update.ini that names the alpha mirror.
#include "FuzzScratch.h"
#include "Mirrors.h"
#include "Pcg32RandomGenerator.h"

#include <QByteArray>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "mirrors.ini: %s\n", what);
        std::abort();
    }
}

void checkEntries(const Mirrors& pool, int version)
{
    const QString versionSuffix = QLatin1Char('/') + QString::number(version);
    for (const FTPSiteAccessData& entry : pool.mirrors) {
        check(entry.url.endsWith(versionSuffix), "every url ends in the version directory");
        check(entry.retries > 0, "a positive error allowance");
        check(entry.maxUse == 1 || entry.maxUse == 3, "one use slot, or three for HTTP");
        check(entry.inUse == 0 && entry.errors == 0, "a new entry holds no slot and no error");
        check(entry.timeout == 15, "the stall time-out is not configurable");
    }
}

// Takes every slot (of a small pool: each choice walks the whole pool), gives them back, then fails
// each mirror until the pool is empty.
void exercise(Mirrors& pool)
{
    int slots = 0;
    int used = 0;
    pool.calcUseStats(slots, used);
    const int taking = qMin(slots, 64);
    QStringList taken;
    FTPSiteAccessData mirror;
    for (int i = 0; i < taking; ++i) {
        check(pool.getRandomMirror(mirror) == 0, "a free slot is handed out");
        check(mirror.inUse >= 1 && mirror.inUse <= mirror.maxUse, "the copy shows its slot taken");
        taken.append(mirror.name);
    }
    if (!pool.mirrors.isEmpty() && taking == slots)
        check(pool.getRandomMirror(mirror) == 2, "no free slot: wait");
    for (const QString& name : taken)
        pool.releaseMirror(name);
    pool.calcUseStats(slots, used);
    check(used == 0, "every slot given back");

    // Each error takes one away from the allowance of the first entry of that name; the loop ends
    // because every allowance is finite, but a huge one is cut short by removing the mirror.
    int rounds = 0;
    while (!pool.mirrors.isEmpty()) {
        const QString name = pool.mirrors.constFirst().name;
        if (++rounds % 8 == 0)
            pool.removeMirror(name);
        else
            pool.addMirrorError(name);
        check(rounds < 100000, "the pool empties");
    }
    check(pool.getRandomMirror(mirror) == 1 && pool.noMirrorsReported, "an empty pool says so");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzScratch& scratch = FuzzScratch::instance();
    const QString path = scratch.freshPath(QStringLiteral("mirrors"), QStringLiteral(".ini"));
    FuzzScratch::writeFile(path, QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));

    const int version = 3012;
    Pcg32RandomGenerator random(size, 54);
    {
        Mirrors pool(nullptr, &random);
        check(pool.initDefault(path, version), "initDefault always succeeds");
        check(pool.mirrors.size() <= Mirrors::MaxMirrors, "the pool is capped");
        checkEntries(pool, version);
        exercise(pool);
    }
    {
        Mirrors alpha(nullptr, &random);
        if (alpha.initAlpha(path, version)) {
            check(alpha.mirrors.size() == 1, "one alpha mirror");
            checkEntries(alpha, version);
            check(alpha.mirrors.constFirst().maxUse == 1 && alpha.mirrors.constFirst().retries == 4,
                  "the alpha mirror's fixed slot and allowance");
            exercise(alpha);
        } else {
            check(alpha.mirrors.isEmpty(), "no alpha entry: empty pool");
        }
    }
    FuzzScratch::remove(path);
    return 0;
}
