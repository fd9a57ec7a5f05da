#pragma once
// Sample values for the grid and volume reader tests: random raw values that each sample type holds
// exactly, and their bytes in either byte order, so a test can build a grid or a volume file and
// compare every sample it reads back against the double it started from.
#include "kexgeometry/Grid.h"

#include <random>
#include <string>
#include <vector>

namespace kexmeshtest {

inline constexpr KEXSampleType kSampleTypes[] = {KEXSampleType::UInt8, KEXSampleType::Int16, KEXSampleType::UInt16,
                                                 KEXSampleType::Float32};

/// A random value of type t, exact in it: the whole range of an integer type, a float in
/// [-floatRange, floatRange], a NaN one time in nanOneIn for Float32 (0: never).
double randomSample(std::mt19937& rng, KEXSampleType t, double floatRange, int nanOneIn = 0);
/// The kexSampleSize(t) bytes of each value as type t in the given byte order, one after the other.
std::string encodeSamples(const std::vector<double>& values, KEXSampleType t, bool bigEndian);

} // namespace kexmeshtest
