#pragma once
// The library's vocabulary: the 110 names of its properties, actions, settings and error codes,
// registered under the module "kexmesh" by __kexmesh_enum_init() and available to code as the
// constants KEX::<Name>. The constants compare by name, so they are valid before (and without)
// registration and from any static initialiser.
#include "kex/Enum.h"

/// The vocabulary in registration order: X(Name) for each name.
#define KEXMESH_VOCABULARY(X) \
  X(ActionList) \
  X(AngleLimits) \
  X(AngleHistogram) \
  X(BackColor) \
  X(BackFace) \
  X(BadEdges) \
  X(BadTriangles) \
  X(BorderWeighting) \
  X(CalculateTriangleNormals) \
  X(CalculateVertexNormals) \
  X(CapAngleLimits) \
  X(Check) \
  X(ChessboardMetric) \
  X(Clockwise) \
  X(CloseGaps) \
  X(ClusterVertices) \
  X(ComponentProxy) \
  X(ConsolidateOrientation) \
  X(ContractVertexPairs) \
  X(CounterClockwise) \
  X(CullFace) \
  X(Custom) \
  X(DataChannel) \
  X(Degree) \
  X(DetectInsideOutside) \
  X(Dimensions) \
  X(DiscardInfiniteVertices) \
  X(DiscardInvalidTriangles) \
  X(DyeBadTriangles) \
  X(EmissionColor) \
  X(ErrorLimit) \
  X(EuclideanMetric) \
  X(ExecuteActionList) \
  X(FlipOrientation) \
  X(FrontColor) \
  X(FrontFace) \
  X(GeometryAccessList) \
  X(GeometryColorMaterial) \
  X(GeometryColorMaterialSide) \
  X(GeometryToCurrentViewTransform) \
  X(Guess) \
  X(HarmonizeTriangleNormals) \
  X(HarmonizeVertexNormals) \
  X(Hidden) \
  X(IOError) \
  X(InvalidTriangleMesh) \
  X(IsotropicMode) \
  X(LineColor) \
  X(ManhattanMetric) \
  X(MaterialRenderer) \
  X(MaximumDistance) \
  X(MaximumLength) \
  X(Metric) \
  X(NeedleAngleLimits) \
  X(Parallel) \
  X(Perspective) \
  X(PointColor) \
  X(Quadric4f) \
  X(Quadric4d) \
  X(Quality) \
  X(RemoveCapTriangles) \
  X(RemoveDegenerateTriangles) \
  X(RemoveOrphanedTriangles) \
  X(RemoveOrphanedVertices) \
  X(Repair) \
  X(RepairBorders) \
  X(SampleGridToCurrentViewTransform) \
  X(ShadingModel) \
  X(ShapeWeighting) \
  X(SignedVertexIndex) \
  X(SignGrowing) \
  X(Solid) \
  X(SurfaceArea) \
  X(TextureChanged) \
  X(TextureCoordinateList) \
  X(TextureID) \
  X(TransformTriangleNormalList) \
  X(TransformVertexNormalList) \
  X(TransformVertexList) \
  X(Triangle3ei) \
  X(Triangle3vd) \
  X(Triangle3vf) \
  X(Triangle3vi) \
  X(TriangleColorList) \
  X(TriangleLimit) \
  X(TriangleList) \
  X(TriangleMesh) \
  X(TriangleMeshAnalyzer) \
  X(TriangleMeshData) \
  X(TriangleMeshIO) \
  X(TriangleMeshExtractor) \
  X(TriangleNormal) \
  X(TriangleNormalColor) \
  X(TriangleNormalLength) \
  X(TriangleNormalList) \
  X(UnexpectedEndOfFile) \
  X(Normalize) \
  X(UnsignedVertexIndex) \
  X(VectorLength) \
  X(Vertex0) \
  X(Vertex1) \
  X(Vertex2) \
  X(VertexColorList) \
  X(VertexEdgeFlagList) \
  X(VertexLimit) \
  X(VertexNormal) \
  X(VertexNormalColor) \
  X(VertexNormalLength) \
  X(VertexNormalList) \
  X(VolumeCapacity)

namespace KEX {
#define KEXMESH_VOCABULARY_CONSTANT(name) inline constexpr KEXenum name{#name};
KEXMESH_VOCABULARY(KEXMESH_VOCABULARY_CONSTANT)
#undef KEXMESH_VOCABULARY_CONSTANT
} // namespace KEX

namespace KEXMesh {
/// Number of names of the vocabulary, counted from the list itself.
#define KEXMESH_VOCABULARY_COUNT(name) +1
inline constexpr int VOCABULARY_SIZE = 0 KEXMESH_VOCABULARY(KEXMESH_VOCABULARY_COUNT);
#undef KEXMESH_VOCABULARY_COUNT
/// Name i of the vocabulary in registration order (null outside 0 ... 109).
const char* vocabularyName(int i);
namespace testing {
/// Whether the initialisation is complete (its dependencies succeeded).
bool enumInitDone();
/// Makes the next __kexmesh_enum_init() run again (registrations made so far are kept).
void forgetEnumInitDone();
} // namespace testing
} // namespace KEXMesh

/// Registers the vocabulary once. Runs the framework's and the geometry library's initialisations
/// first; if either fails, a later call tries again (each name is still registered only once).
/// Always returns true.
bool __kexmesh_enum_init();
