#include "RandomGenerator.h"

#include "Pcg32RandomGenerator.h"

namespace {
RandomGenerator* replacement = nullptr;
}

RandomGenerator::~RandomGenerator() = default;

RandomGenerator& RandomGenerator::program()
{
    if (replacement)
        return *replacement;
    // Constructed on first use, so that nothing depends on the order of static initialisation.
    static Pcg32RandomGenerator builtIn;
    return builtIn;
}

void RandomGenerator::setProgram(RandomGenerator* generator)
{
    replacement = generator;
}
