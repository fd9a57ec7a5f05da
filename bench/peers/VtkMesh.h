#pragma once
// The peers' view of a kexmesh buffer in VTK: float points and one triangle cell per triangle.
// Built outside the timed regions.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <vtkCellArray.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkSmartPointer.h>

inline vtkSmartPointer<vtkPolyData> toPolyData(const KEXTriangleMeshBuffer& m)
{
  auto poly = vtkSmartPointer<vtkPolyData>::New();
  vtkNew<vtkPoints> points;
  points->SetDataTypeToFloat();
  points->SetNumberOfPoints(m.getVertexCount());
  for (int v = 0; v < m.getVertexCount(); ++v)
    points->SetPoint(v, m.vertexList[v].x, m.vertexList[v].y, m.vertexList[v].z);
  vtkNew<vtkCellArray> cells;
  cells->AllocateExact(m.getTriangleCount(), 3 * m.getTriangleCount());
  for (const KEXTriangle<int>& f : m.triangleList) {
    vtkIdType ids[3] = {f[0], f[1], f[2]};
    cells->InsertNextCell(3, ids);
  }
  poly->SetPoints(points);
  poly->SetPolys(cells);
  return poly;
}
