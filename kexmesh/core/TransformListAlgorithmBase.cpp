// The shared loop of the transform algorithms. Points map by the affine matrix; normals by the
// inverse transpose of it, which keeps them perpendicular to transformed tangents also under
// non-uniform scaling and shear. Arithmetic runs in double, storage stays float; normals are not
// renormalised (a later harmonize step decides their length).
#include "kexmesh/core/TransformListAlgorithmBase.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"

bool KEXTransformListAlgorithmBase::transformList(KEXValueList<KEXVector3<float>>& list, const char* message,
                                                  bool normals) const
{
  const int N = list.getCount();
  KEXTask task(message, double(N) + 1.0, 0x10000, 0);
  task.incProgress(1.0, true);
  if (N == 0)
    return task.ok();
  KEXMatrix4<double> m(m_transformMatrix);
  if (normals) {
    // A singular matrix has no inverse; transforming by anything else would corrupt the normals.
    if (!m.invert())
      return task.error(KEX::InvalidValue);
    m.transpose();
  }
  KEXVector3<float>* p = list.getData();
  const int BLOCK = 8192;
  for (int first = 0; first < N; first += BLOCK) {
    const int end = std::min(N, first + BLOCK);
    for (int i = first; i < end; ++i)
      p[i] = KEXVector3<float>(m.transformPoint(KEXVector3<double>(p[i])));
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }
  return task.ok();
}
