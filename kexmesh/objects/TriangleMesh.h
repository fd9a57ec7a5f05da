#pragma once
// KEXTriangleMesh: the geometry object of a triangle mesh. It carries the rendering properties and
// the derived values (BoundingBox, OrientedBoundingBox, MeanSamplingDistance) and offers typed
// accessors of the list properties, which it finds by name: KEXTriangleMeshData owns the lists,
// KEXTriangleMeshReference works with whatever list properties it is given (missing ones read as
// empty).
#include "kex/Object.h"
#include "kex/Properties.h"
#include "kex/Values.h"
#include "kexmesh/core/ClassRegistration.h"
#include "kexmesh/core/Triangle.h"

class KEXTriangleMeshBuffer;

class KEXTriangleMesh : public KEXGeometry {
  KEXMESH_DECLARE_CLASS(KEXTriangleMesh)

public:
  ~KEXTriangleMesh() override;
  /// Copies the renderer and material names (the access list stays with each mesh).
  KEXTriangleMesh& operator=(const KEXTriangleMesh& other);

  /// Level 0: the registered enum "KEXTriangleMesh"; deeper levels ask the parent class.
  KEXenum getObjectID(int level) const override;

  /// Number of items of VertexList (0 when missing).
  int getVertexCount() const;
  /// Number of items of TriangleList; -1 when isValid() fails.
  int getNumberOfTriangles() const;

  /// Sets VertexList to count vertices and each optional list to count items (null empties it).
  /// \return false for count < 0, count >= 1 without vertices, or when any list refuses.
  bool initVertices(int count, const KEXVector3<float>* vertices, const KEXVector3<float>* normals,
                    const int* edgeFlags, const KEXRGBA<float>* colors, const KEXVector2<float>* textureCoordinates);
  /// Sets TriangleList, TriangleNormalList and TriangleColorList (null empties an optional list).
  /// count < 0, or count > 0 without triangles, reports InvalidValue and fails.
  bool initTriangles(int count, const KEXTriangle<int>* triangles, const KEXVector3<float>* normals,
                     const KEXRGBA<float>* colors);
  /// Set one list to count items (null empties it). False when the list refuses.
  bool initVertexNormals(int count, const KEXVector3<float>* normals);
  bool initTriangleNormals(int count, const KEXVector3<float>* normals);
  bool initVertexColors(int count, const KEXRGBA<float>* colors);
  bool initTriangleColors(int count, const KEXRGBA<float>* colors);
  bool initTextureCoordinates(int count, const KEXVector2<float>* coordinates);

  // Items first ... last of one list; false when the range lies outside the list or it is missing.
  bool setVertexList(int first, int last, const KEXVector3<float>* items);
  bool getVertexList(int first, int last, KEXVector3<float>* items) const;
  bool setVertexNormalList(int first, int last, const KEXVector3<float>* items);
  bool getVertexNormalList(int first, int last, KEXVector3<float>* items) const;
  bool setVertexNormals(int first, int last, const KEXVector3<float>* items);
  bool getVertexNormals(int first, int last, KEXVector3<float>* items) const;
  bool setVertexEdgeFlagList(int first, int last, const int* items);
  bool getVertexEdgeFlagList(int first, int last, int* items) const;
  bool setTriangles(int first, int last, const KEXTriangle<int>* items);
  bool getTriangles(int first, int last, KEXTriangle<int>* items) const;
  bool setTriangleNormals(int first, int last, const KEXVector3<float>* items);
  bool getTriangleNormals(int first, int last, KEXVector3<float>* items) const;
  bool setVertexColors(int first, int last, const KEXRGBA<float>* items);
  bool getVertexColors(int first, int last, KEXRGBA<float>* items) const;
  bool setTriangleColors(int first, int last, const KEXRGBA<float>* items);
  bool getTriangleColors(int first, int last, KEXRGBA<float>* items) const;
  bool setTextureCoordinates(int first, int last, const KEXVector2<float>* items);
  bool getTextureCoordinates(int first, int last, KEXVector2<float>* items) const;

  /// isValid() and the list is not empty.
  bool hasVertexNormals() const;
  bool hasTriangleNormals() const;
  bool hasVertexColors() const;
  bool hasTriangleColors() const;
  bool hasTextureCoordinates() const;

  /// The BoundingBox value (minimum, maximum).
  bool getBoundingBox(KEXValuePair<KEXVector3<float>>& box) const;

  /// The optional lists are empty or as long as the vertex (triangle) list; the edge flag list is
  /// not checked. Otherwise reports InvalidTriangleMesh with the object and returns false.
  bool isValid() const;

  /// Copies the list properties into buffer (KEXTriangleMeshAction::bufferFromObject).
  virtual bool toBuffer(KEXTriangleMeshBuffer& buffer) const;
  /// Writes buffer into the list properties (KEXTriangleMeshAction::objectFromBuffer).
  virtual bool fromBuffer(const KEXTriangleMeshBuffer& buffer);

protected:
  /// Registers GeometryRenderer, GeometryMaterial, BoundingBox, OrientedBoundingBox,
  /// MeanSamplingDistance and GeometryAccessList; a failure is reported through KEXError.
  KEXTriangleMesh();
  KEXTriangleMesh(const KEXTriangleMesh& other);

private:
  struct Private;
  void registerProperties();
  int listCount(KEXenum name) const;
  Private* m_private = nullptr;
};
