#pragma once
// Internal (not installed): union-find over a plain int table in which every element starts as its
// own parent (table[i] == i). The table is caller-owned memory (a KEXValueList's data or a scratch
// array), so the helpers neither allocate nor fail.

namespace kexunion {

/// Fills table[0, n) with the identity: every element its own root.
inline void reset(int* table, int n)
{
  for (int i = 0; i < n; ++i)
    table[i] = i;
}

/// Root of x with full path compression (iterative: chains may be long before compression).
inline int findRoot(int* table, int x)
{
  int root = x;
  while (table[root] != root)
    root = table[root];
  while (table[x] != root) {
    int next = table[x];
    table[x] = root;
    x = next;
  }
  return root;
}

/// Unites the sets of a and b by hanging b's root under a's root. True when they were apart.
inline bool unite(int* table, int a, int b)
{
  const int ra = findRoot(table, a);
  const int rb = findRoot(table, b);
  if (ra == rb)
    return false;
  table[rb] = ra;
  return true;
}

/// Unites the sets of a and b by hanging the larger root under the smaller one, so every root is
/// the smallest index of its set whatever the order of the unions (what makes a result built by
/// several threads independent of their interleaving). The element whose root was the larger also
/// points at the new root directly.
inline void uniteToSmaller(int* table, int a, int b)
{
  const int ra = findRoot(table, a);
  const int rb = findRoot(table, b);
  if (ra == rb)
    return;
  if (ra < rb) {
    table[rb] = ra;
    table[b] = ra;
  } else {
    table[ra] = rb;
    table[a] = rb;
  }
}

} // namespace kexunion
