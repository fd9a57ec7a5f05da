#include "support/AnalyzerSetup.h"

#include "kex/Properties.h"
#include "kexgeometry/CalculateAction.h"
#include "kexmesh/access/TriangleMeshDirectAccess.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/TriangleMeshAnalyzer.h"

#include <cmath>
#include <numbers>

namespace kexmeshtest {

double AnalyzerFigures::angleCount() const
{
  double s = 0.0;
  for (const KEXVector2<float>& e : histogram)
    s += e.y;
  return s;
}

AnalyzedMesh::AnalyzedMesh(const KEXTriangleMeshBuffer& b, bool withAccess)
{
  m_mesh = static_cast<KEXTriangleMeshData*>(KEXTriangleMeshData::metaClass().create());
  m_analyzer = static_cast<KEXTriangleMeshAnalyzer*>(KEXTriangleMeshAnalyzer::metaClass().create());
  if (!m_mesh || !m_analyzer || !m_mesh->fromBuffer(b))
    return;
  if (withAccess && !(m_access = KEXTriangleMeshDirectAccess::attach(*m_mesh)))
    return;
  // A construction that ran short of memory leaves the analyzer without some of its parts.
  KEXObjectLink result;
  m_ok = m_analyzer->getAction(KEX::Calculate) && m_analyzer->getValue<KEXObjectLink>(KEX::Result, result) &&
         result.get() && result.get()->getPropertyCount() == 5 &&
         m_analyzer->setValue<KEXObjectLink>(KEX::Geometry, KEXObjectLink(m_mesh));
}

AnalyzedMesh::~AnalyzedMesh()
{
  if (m_analyzer)
    m_analyzer->release();
  if (m_mesh)
    m_mesh->release();
}

KEXCalculateAction& AnalyzedMesh::action() const
{
  return *dynamic_cast<KEXCalculateAction*>(m_analyzer->getAction(KEX::Calculate));
}

bool AnalyzedMesh::setTransform(const KEXMatrix4<float>& m)
{
  return m_analyzer->setValue<KEXMatrix4<float>>(KEX::GeometryToCurrentViewTransform, m);
}

bool AnalyzedMesh::calculate() { return m_analyzer->getAction(KEX::Calculate)->execute(nullptr); }

AnalyzerFigures AnalyzedMesh::figures() const
{
  AnalyzerFigures f;
  KEXObjectLink link;
  if (!m_analyzer->getValue<KEXObjectLink>(KEX::Result, link) || !link.get())
    return f;
  const KEXObject& r = *link.get();
  r.getValue<int>(KEX::BadEdges, f.badEdges);
  r.getValue<int>(KEX::BadTriangles, f.badTriangles);
  r.getValue<float>(KEX::SurfaceArea, f.surfaceArea);
  r.getValue<KEXVector3<float>>(KEX::Dimensions, f.dimensions);
  int first = 0, last = -1;
  if (r.getIndexRange<KEXVector2<float>>(KEX::AngleHistogram, first, last) && last >= 0) {
    f.histogram.resize(size_t(last + 1));
    r.getArrayItems<KEXVector2<float>>(KEX::AngleHistogram, 0, last, f.histogram.data());
  }
  return f;
}

ReferenceFigures referenceFigures(const KEXTriangleMeshBuffer& b, const KEXMatrix4<float>& m)
{
  ReferenceFigures r;
  const int V = b.getVertexCount();
  auto bin = [](double a) { return std::min(1799, int(a * (1800.0 / std::numbers::pi))); };
  auto angle = [](const KEXVector3<double>& u, const KEXVector3<double>& v) {
    double c = u.dot(v) / (u.length() * v.length());
    if (!(c < 1.0))
      c = 1.0;
    return std::acos(std::max(-1.0, c));
  };
  for (int t = 0; t < b.getTriangleCount(); ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    bool usable = true;
    for (int k = 0; k < 3; ++k)
      usable = usable && tri[k] >= 0 && tri[k] < V && std::isfinite(b.vertexList[tri[k]].x) &&
               std::isfinite(b.vertexList[tri[k]].y) && std::isfinite(b.vertexList[tri[k]].z);
    if (!usable) {
      ++r.leftOut;
      continue;
    }
    KEXVector3<double> p[3];
    for (int k = 0; k < 3; ++k) {
      p[k] = KEXVector3<double>(b.vertexList[tri[k]]);
      r.box.unite(m.transformPoint(b.vertexList[tri[k]]));
    }
    r.area += 0.5 * (p[1] - p[0]).cross(p[2] - p[0]).length();
    const double a0 = angle(p[1] - p[0], p[2] - p[0]);
    const double a1 = angle(p[0] - p[1], p[2] - p[1]);
    const double a2 = std::max(0.0, std::numbers::pi - a0 - a1);
    ++r.histogram[size_t(bin(a0))];
    ++r.histogram[size_t(bin(a1))];
    ++r.histogram[size_t(bin(a2))];
  }
  return r;
}

bool isUnknown(const AnalyzerFigures& f)
{
  return f.badEdges == -1 && f.badTriangles == -1 && f.surfaceArea == -1.0f &&
         f.dimensions == KEXVector3<float>(-1.0f, -1.0f, -1.0f) && f.histogram.empty();
}

} // namespace kexmeshtest
