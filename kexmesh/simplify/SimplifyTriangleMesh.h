#pragma once
// KEXSimplifyTriangleMesh: the simplification filter. Its action Filter runs the vertex pair
// contraction on the filter's source mesh and writes the result to its destination. Of its eight
// properties, VertexLimit, TriangleLimit, Quality and ErrorLimit steer the contraction; the others
// are stored, validated and exposed for hosts that keep them.
#include "kex/Enum.h"
#include "kexmesh/objects/TriangleMeshFilter.h"

class KEXSimplifyTriangleMesh : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXSimplifyTriangleMesh)

public:
  // Defaults of the properties.
  static constexpr float DEFAULT_MAXIMUM_DISTANCE = 0.0f;
  static constexpr float DEFAULT_BORDER_WEIGHTING = 1.0f;
  static constexpr float DEFAULT_SHAPE_WEIGHTING = 0.5f;
  static constexpr float DEFAULT_VECTOR_LENGTH = 0.0f;
  static constexpr float DEFAULT_ERROR_LIMIT = 1.0f;
  static constexpr int DEFAULT_VERTEX_LIMIT = 1000;
  static constexpr int DEFAULT_TRIANGLE_LIMIT = 0;
  /// The contraction's maximum error is ErrorLimit times this: the default ErrorLimit 1 gives the
  /// contraction's own default 0.01 (ErrorLimit is the error in hundredths of a mesh unit).
  static constexpr float ERROR_LIMIT_SCALE = 0.01f;

  /// The four qualities, in this order: Fastest, Normal, Advanced, Nicest.
  static const KEXEnumSet& getQualityEnums();

  /// Registers the eight properties and the action Filter. A failed allocation or registration is
  /// reported as OutOfMemory with this filter on the error channel.
  KEXSimplifyTriangleMesh();
  KEXSimplifyTriangleMesh(const KEXSimplifyTriangleMesh& other);
  KEXSimplifyTriangleMesh& operator=(const KEXSimplifyTriangleMesh& other);
  ~KEXSimplifyTriangleMesh() override;

  /// "KEXSimplifyTriangleMesh" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  // Setters return false (nothing changed) for a refused value or without private record; getters
  // return the default without private record.
  /// Finite and >= 0.
  bool setMaximumDistance(float d);
  float getMaximumDistance() const;
  /// Finite, 0 <= x <= 1.
  bool setBorderWeighting(float w);
  float getBorderWeighting() const;
  /// Finite, 0 <= x <= 1.
  bool setShapeWeighting(float w);
  float getShapeWeighting() const;
  /// Finite and >= 0.
  bool setVectorLength(float l);
  float getVectorLength() const;
  /// Finite and >= 0; the contraction's maximum error is ErrorLimit * ERROR_LIMIT_SCALE.
  bool setErrorLimit(float e);
  float getErrorLimit() const;
  /// >= 0; the contraction's vertex limit (and twice it as triangle limit) unless a triangle limit
  /// is set.
  bool setVertexLimit(int n);
  int getVertexLimit() const;
  /// >= 0; 0 means not set. When set it is the contraction's triangle limit (and half of it the
  /// vertex limit), taking precedence over VertexLimit.
  bool setTriangleLimit(int n);
  int getTriangleLimit() const;
  /// One of getQualityEnums().
  bool setMethodQuality(KEXenum q);
  KEXenum getMethodQuality() const;

  /// Runs Filter from the source to the destination object.
  /// \return false without private record or when the contraction fails (destination unchanged).
  bool simplify();

private:
  struct Private;
  void construct();
  void copyValues(const KEXSimplifyTriangleMesh& other);
  Private* m_private = nullptr;
};
