// The two exported instantiations of the error quadric and their registered type names.
#include "kexmesh/simplify/Quadric4.h"
#include "kexmesh/objects/Vocabulary.h"

static_assert(sizeof(KEXQuadric4<float>) == 10 * sizeof(float), "a quadric holds its ten coefficients only");
static_assert(sizeof(KEXQuadric4<double>) == 10 * sizeof(double), "a quadric holds its ten coefficients only");
static_assert(std::is_trivially_copyable_v<KEXQuadric4<float>>, "quadrics live in relocatable value lists");

template <>
KEXenum KEXQuadric4<float>::getTypeName()
{
  return KEX::Quadric4f;
}
template <>
KEXenum KEXQuadric4<double>::getTypeName()
{
  return KEX::Quadric4d;
}

template class KEXQuadric4<float>;
template class KEXQuadric4<double>;
