#pragma once

#include "RandomGenerator.h"

// The program's generator: PCG32 (XSH-RR output over a 64-bit linear congruential state), small,
// fast and with none of the weak low bits of a plain LCG, which matters because the pool takes its
// numbers modulo small counts.
class Pcg32RandomGenerator : public RandomGenerator
{
public:
    // Seeded with 0 until seed() is called, so an unseeded run is still reproducible.
    Pcg32RandomGenerator();
    // Seed and stream selector, as in the reference generator's pcg32_srandom_r.
    Pcg32RandomGenerator(quint64 initState, quint64 initSequence);

    // Keeps the current stream and restarts it from `seed`.
    void seed(quint32 seed) override;
    quint32 next() override;

private:
    void restart(quint64 initState, quint64 initSequence);

    quint64 m_state = 0;
    quint64 m_increment = 0;
};
