#pragma once
// Internal (not installed): the preamble of the algorithms that walk the mesh by its adjacency.
#include "kex/Task.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <optional>

/// Builds the vertex adjacency list and then the triangle adjacency list of the given scopes, each
/// under its own sub-task of task weighted vertexWeight and triangleWeight. Empty when both lists
/// are there; otherwise task has ended with the failing build's outcome and the value is task's
/// result, which the operation returns.
inline std::optional<bool> kexEnsureAdjacency(KEXTask& task, KEXDerivedListScope& vertexAdjacency,
                                              KEXDerivedListScope& triangleAdjacency, double vertexWeight,
                                              double triangleWeight)
{
  {
    KEXSubTask sub("Creating vertex adjacency list", vertexWeight);
    if (!vertexAdjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Creating triangle adjacency list", triangleWeight);
    if (!triangleAdjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  return std::nullopt;
}
