#pragma once
// Set-up for tests of the mesh access object and the analyzer: a mesh object made from a buffer
// with a direct access object in its access list and an analyzer looking at it, and the figures a
// plain double-precision loop over the triangle list gives for the same mesh.
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <vector>

class KEXTriangleMeshData;
class KEXTriangleMeshAnalyzer;
class KEXTriangleMeshDirectAccess;
class KEXCalculateAction;

namespace kexmeshtest {

/// The figures of one analysis, as published.
struct AnalyzerFigures {
  int badEdges = 0, badTriangles = 0;
  float surfaceArea = 0.0f;
  KEXVector3<float> dimensions;
  std::vector<KEXVector2<float>> histogram;
  /// Sum of the histogram's counts.
  double angleCount() const;
};

/// A mesh object holding b, its access object and an analyzer on it. Each part may be null when
/// memory ran short while it was made (ok() tells).
class AnalyzedMesh {
public:
  explicit AnalyzedMesh(const KEXTriangleMeshBuffer& b, bool withAccess = true);
  ~AnalyzedMesh();
  AnalyzedMesh(const AnalyzedMesh&) = delete;
  AnalyzedMesh& operator=(const AnalyzedMesh&) = delete;

  bool ok() const { return m_ok; }
  KEXTriangleMeshData& mesh() const { return *m_mesh; }
  KEXTriangleMeshAnalyzer& analyzer() const { return *m_analyzer; }
  KEXTriangleMeshDirectAccess* access() const { return m_access; }
  KEXCalculateAction& action() const;
  bool setTransform(const KEXMatrix4<float>& m);
  /// Executes the analyzer's Calculate action.
  bool calculate();
  /// Reads the result object's figures.
  AnalyzerFigures figures() const;

private:
  KEXTriangleMeshData* m_mesh = nullptr;
  KEXTriangleMeshAnalyzer* m_analyzer = nullptr;
  KEXTriangleMeshDirectAccess* m_access = nullptr;
  bool m_ok = false;
};

/// Figures of a plain loop: triangles with an index out of range or a non-finite corner are left
/// out; corners are transformed one by one for the box; angles are acos of dot products over
/// length products, the third pi minus the others, binned in 0.1 degree (the last bin takes 180).
struct ReferenceFigures {
  double area = 0.0;
  KEXInterval<KEXVector3<float>> box;
  std::vector<long> histogram = std::vector<long>(1800, 0);
  int leftOut = 0;
};
ReferenceFigures referenceFigures(const KEXTriangleMeshBuffer& b, const KEXMatrix4<float>& transform);

/// The initial figures of a result (and those after a failed calculation).
bool isUnknown(const AnalyzerFigures& f);

} // namespace kexmeshtest
