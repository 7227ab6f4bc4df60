// The accumulator's C++ model as a design plug-in.
#include <tv940/design.hpp>

#include "accumulator.h"

namespace {
const tv940_design kAccumulator =
    tv940::makeDesign<Accumulator>(kAccumulatorIdentification, "accumulator");
}

TV940_DESIGNS(&kAccumulator)
