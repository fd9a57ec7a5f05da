#pragma once
// Internal (not installed): welding at a vanishing distance by hashing the coordinates' bit
// patterns instead of searching a tree. At a distance d far below the float spacing of ordinary
// coordinates, two vertices can only be within d of each other when every coordinate of the one
// equals that of the other, or both coordinates are so close to zero that float values there lie
// closer than d. A hash of the exact coordinates therefore finds every linked pair, apart from
// those tiny ("fuzzy") coordinates, whose few vertices are matched pair by pair with the same
// distance rule the tree search uses. The clusters, and so the whole weld, are exactly those of
// the tree search.
#include "kex/Values.h"

namespace kexweld {

/// The magnitude below which a coordinate counts as tiny at distance d: a power of two tau such
/// that two different floats of which one is at least tau in magnitude lie at least 2d apart (so
/// their squared distance in double can never pass d * d). 0 for d == 0 (only +0 and -0 meet);
/// negative when hashing cannot replace the search (d negative or NaN, or so large that ordinary
/// coordinates would count as tiny).
double tinyBound(float d);

/// How many vertices of pos[0, V) take part (closed, when given, marks those that stay out) and
/// have a tiny non-zero coordinate at bound tau; every such vertex is matched against every other
/// one of its hash bucket.
int countFuzzy(const KEXVector3<float>* pos, int V, const char* closed, double tau);

/// The largest fuzzy count for which the pair-by-pair matching stays within a few passes over V
/// vertices.
int fuzzyLimit(int V);

enum class Outcome { Done, OutOfMemory, Stopped };

/// Called every few thousand vertices of the scan with the count since the last call; false stops.
using Report = bool (*)(void* context, int scanned);

/// Welds the vertices of pos[0, V) whose hash falls into partition part of parts (every linked
/// pair shares its partition, so the partitions are independent and can run on different threads):
/// sets table[v] for each such v to a parent index no larger than v, the smallest index of its
/// cluster at the root, as union-find with the smaller-root rule leaves it. Vertices marked in
/// closed and vertices with a non-finite coordinate stay alone. d is the weld distance, tau its
/// tinyBound().
Outcome weldPartition(const KEXVector3<float>* pos, int V, const char* closed, float d, double tau, int part,
                      int parts, int* table, Report report, void* context);

} // namespace kexweld
