#pragma once
// KEXCheckTriangleMeshAlgorithm: reports invalid vertices, invalid triangles and empty triangles of
// the buffer without changing it.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXCheckTriangleMeshAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXCheckTriangleMeshAlgorithm)

public:
  /// Counts of the last run (0 for phases the run did not reach).
  int getInvalidVertexCount() const { return m_invalidVertices; }
  int getInvalidTriangleCount() const { return m_invalidTriangles; }
  int getEmptyTriangleCount() const { return m_emptyTriangles; }
  /// Bad edges: no check step counts them, so this stays 0.
  int getBadEdgeCount() const { return m_badEdges; }

protected:
  /// Counts and reports (diagnostics on the task). Fails with InvalidValue when there are
  /// triangles but no vertices, or any invalid vertex or triangle; empty triangles only warn.
  /// A stop ends the run aborted.
  bool run(void* parameters) override;

private:
  int m_invalidVertices = 0;
  int m_invalidTriangles = 0;
  int m_emptyTriangles = 0;
  int m_badEdges = 0;
};
