// Rounds the three double components of a small struct through float in a loop and compares each
// with the same rounding done one value at a time through a volatile float. Some g++ releases
// (seen with 12.2 at -O2) vectorise the loop and drop the rounding of all but one component.
// Exit status 0: the compiler rounds every component; 1: it does not.
#include <cstdio>
#include <cstdlib>

struct D3 {
  double x, y, z;
};

__attribute__((noinline)) void roundAll(D3* v, int n)
{
  for (int i = 0; i < n; ++i) {
    v[i].x = double(float(v[i].x));
    v[i].y = double(float(v[i].y));
    v[i].z = double(float(v[i].z));
  }
}

int main(int argc, char**)
{
  const int n = 100;
  D3* v = static_cast<D3*>(std::malloc(sizeof(D3) * n));
  if (!v)
    return 2;
  for (int i = 0; i < n; ++i)
    v[i] = {0.1 * (i + argc), 0.2 * (i + argc), 0.3 * (i + argc)};
  roundAll(v, n);
  int wrong = 0;
  for (int i = 0; i < n; ++i) {
    const double want[3] = {0.1 * (i + argc), 0.2 * (i + argc), 0.3 * (i + argc)};
    const double got[3] = {v[i].x, v[i].y, v[i].z};
    for (int k = 0; k < 3; ++k) {
      volatile float f = float(want[k]);
      wrong += got[k] != double(f);
    }
  }
  std::free(v);
  std::printf("%d of %d components not rounded\n", wrong, 3 * n);
  return wrong ? 1 : 0;
}
