#pragma once

#include <QtGlobal>

// Source of the pseudo-random numbers that pick mirrors. The program uses one seeded generator
// (see program()); tests put a scripted one in its place, or hand one to a single pool, so that a
// choice can be checked exactly.
//
// Not thread-safe: the pool and everything else that draws numbers live on the GUI thread.
class RandomGenerator
{
public:
    virtual ~RandomGenerator();

    // Restarts the sequence from `seed`. The engine seeds the program's generator once per run with
    // the current time in whole seconds.
    virtual void seed(quint32 seed) = 0;
    // The next number of the sequence, uniformly spread over the whole 32-bit range.
    virtual quint32 next() = 0;

    // The generator the program draws from: the one given to setProgram(), or else a built-in
    // Pcg32RandomGenerator that lives as long as the process.
    static RandomGenerator& program();
    // Replaces the program's generator (not owned; it must outlive its use). nullptr returns to the
    // built-in one.
    static void setProgram(RandomGenerator* generator);
};
