#include "kexmesh/core/Triangle.h"

template class KEXTriangle<int>;
template class KEXTriangle<unsigned int>;
template class KEXTriangle<int64_t>;
template class KEXTriangle<uint64_t>;
