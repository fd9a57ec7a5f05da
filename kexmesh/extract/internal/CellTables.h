#pragma once
// Internal (not installed): the cell tables of iso-surface extraction and the polygonisation of one
// cell, shared by the extractor and its tests.
//
// A cell has 8 corners c = x + 2y + 4z and 12 edges. The case index of a cell is the bit set of its
// inside corners; CASE_TABLE holds, for each of the 256 cases in order, a byte n followed by n bytes:
// the case's polygons, each a vertex count k and k edge numbers (a polygon vertex lies on that
// edge). Polygons are listed in strip order, so the strip triangulation below is a fan-free,
// valid triangulation of each of them. Every crossing edge of a case is used exactly once.
#include <cmath>
#include <cstdint>

namespace KEXMeshExtract {

/// Corners of each edge, lower corner (along the edge's axis) first.
inline constexpr int EDGE_CORNERS[12][2] = {{0, 2}, {0, 1}, {1, 3}, {2, 3}, {0, 4}, {1, 5},
                                            {2, 6}, {3, 7}, {4, 6}, {4, 5}, {5, 7}, {6, 7}};
/// Axis of each edge (x = 0, y = 1, z = 2).
inline constexpr int EDGE_AXIS[12] = {1, 0, 1, 0, 2, 2, 2, 2, 1, 0, 1, 0};

inline constexpr int CASE_TABLE_SIZE = 2150;
inline constexpr uint8_t CASE_TABLE[CASE_TABLE_SIZE] = {
    /*   0 */ 0,
    /*   1 */ 4, 3, 0, 4, 1,
    /*   2 */ 4, 3, 1, 2, 5,
    /*   3 */ 5, 4, 0, 4, 2, 5,
    /*   4 */ 4, 3, 6, 0, 3,
    /*   5 */ 5, 4, 6, 4, 3, 1,
    /*   6 */ 8, 3, 6, 0, 3, 3, 1, 2, 5,
    /*   7 */ 6, 5, 6, 3, 4, 2, 5,
    /*   8 */ 4, 3, 3, 7, 2,
    /*   9 */ 8, 3, 0, 4, 1, 3, 3, 7, 2,
    /*  10 */ 5, 4, 3, 1, 7, 5,
    /*  11 */ 6, 5, 4, 0, 5, 3, 7,
    /*  12 */ 5, 4, 6, 0, 7, 2,
    /*  13 */ 6, 5, 4, 1, 6, 2, 7,
    /*  14 */ 6, 5, 6, 0, 7, 1, 5,
    /*  15 */ 5, 4, 6, 4, 7, 5,
    /*  16 */ 4, 3, 8, 4, 9,
    /*  17 */ 5, 4, 8, 0, 9, 1,
    /*  18 */ 8, 3, 8, 4, 9, 3, 1, 2, 5,
    /*  19 */ 6, 5, 8, 9, 0, 5, 2,
    /*  20 */ 8, 3, 6, 0, 3, 3, 8, 4, 9,
    /*  21 */ 6, 5, 3, 6, 1, 8, 9,
    /*  22 */ 12, 3, 6, 0, 3, 3, 8, 4, 9, 3, 1, 2, 5,
    /*  23 */ 7, 6, 6, 8, 3, 9, 2, 5,
    /*  24 */ 8, 3, 8, 4, 9, 3, 3, 7, 2,
    /*  25 */ 9, 4, 8, 0, 9, 1, 3, 3, 7, 2,
    /*  26 */ 9, 3, 8, 4, 9, 4, 3, 1, 7, 5,
    /*  27 */ 7, 6, 3, 0, 7, 8, 5, 9,
    /*  28 */ 9, 4, 6, 0, 7, 2, 3, 8, 4, 9,
    /*  29 */ 7, 6, 8, 6, 9, 7, 1, 2,
    /*  30 */ 10, 5, 6, 0, 7, 1, 5, 3, 8, 4, 9,
    /*  31 */ 6, 5, 6, 8, 7, 9, 5,
    /*  32 */ 4, 3, 9, 10, 5,
    /*  33 */ 8, 3, 0, 4, 1, 3, 9, 10, 5,
    /*  34 */ 5, 4, 9, 1, 10, 2,
    /*  35 */ 6, 5, 0, 4, 2, 9, 10,
    /*  36 */ 8, 3, 6, 0, 3, 3, 9, 10, 5,
    /*  37 */ 9, 4, 6, 4, 3, 1, 3, 9, 10, 5,
    /*  38 */ 9, 3, 6, 0, 3, 4, 9, 1, 10, 2,
    /*  39 */ 7, 6, 3, 6, 2, 4, 10, 9,
    /*  40 */ 8, 3, 3, 7, 2, 3, 9, 10, 5,
    /*  41 */ 12, 3, 0, 4, 1, 3, 3, 7, 2, 3, 9, 10, 5,
    /*  42 */ 6, 5, 9, 10, 1, 7, 3,
    /*  43 */ 7, 6, 0, 4, 3, 9, 7, 10,
    /*  44 */ 9, 4, 6, 0, 7, 2, 3, 9, 10, 5,
    /*  45 */ 10, 5, 4, 1, 6, 2, 7, 3, 9, 10, 5,
    /*  46 */ 7, 6, 0, 1, 6, 9, 7, 10,
    /*  47 */ 6, 5, 4, 9, 6, 10, 7,
    /*  48 */ 5, 4, 8, 4, 10, 5,
    /*  49 */ 6, 5, 0, 1, 8, 5, 10,
    /*  50 */ 6, 5, 8, 4, 10, 1, 2,
    /*  51 */ 5, 4, 8, 0, 10, 2,
    /*  52 */ 9, 3, 6, 0, 3, 4, 8, 4, 10, 5,
    /*  53 */ 7, 6, 6, 3, 8, 1, 10, 5,
    /*  54 */ 10, 3, 6, 0, 3, 5, 8, 4, 10, 1, 2,
    /*  55 */ 6, 5, 8, 6, 10, 3, 2,
    /*  56 */ 9, 4, 8, 4, 10, 5, 3, 3, 7, 2,
    /*  57 */ 10, 5, 0, 1, 8, 5, 10, 3, 3, 7, 2,
    /*  58 */ 7, 6, 4, 1, 8, 3, 10, 7,
    /*  59 */ 6, 5, 0, 3, 8, 7, 10,
    /*  60 */ 10, 4, 6, 0, 7, 2, 4, 8, 4, 10, 5,
    /*  61 */ 8, 7, 7, 2, 6, 1, 8, 5, 10,
    /*  62 */ 8, 7, 6, 0, 7, 1, 10, 4, 8,
    /*  63 */ 5, 4, 6, 8, 7, 10,
    /*  64 */ 4, 3, 6, 8, 11,
    /*  65 */ 8, 3, 6, 8, 11, 3, 0, 4, 1,
    /*  66 */ 8, 3, 6, 8, 11, 3, 1, 2, 5,
    /*  67 */ 9, 3, 6, 8, 11, 4, 0, 4, 2, 5,
    /*  68 */ 5, 4, 11, 8, 3, 0,
    /*  69 */ 6, 5, 1, 4, 3, 8, 11,
    /*  70 */ 9, 4, 11, 8, 3, 0, 3, 1, 2, 5,
    /*  71 */ 7, 6, 8, 4, 11, 5, 3, 2,
    /*  72 */ 8, 3, 6, 8, 11, 3, 3, 7, 2,
    /*  73 */ 12, 3, 6, 8, 11, 3, 0, 4, 1, 3, 3, 7, 2,
    /*  74 */ 9, 3, 6, 8, 11, 4, 3, 1, 7, 5,
    /*  75 */ 10, 3, 6, 8, 11, 5, 4, 0, 5, 3, 7,
    /*  76 */ 6, 5, 8, 11, 0, 7, 2,
    /*  77 */ 7, 6, 11, 7, 8, 2, 4, 1,
    /*  78 */ 7, 6, 11, 7, 8, 5, 0, 1,
    /*  79 */ 6, 5, 4, 8, 5, 11, 7,
    /*  80 */ 5, 4, 6, 4, 11, 9,
    /*  81 */ 6, 5, 11, 6, 9, 0, 1,
    /*  82 */ 9, 4, 6, 4, 11, 9, 3, 1, 2, 5,
    /*  83 */ 7, 6, 6, 11, 0, 9, 2, 5,
    /*  84 */ 6, 5, 3, 0, 11, 4, 9,
    /*  85 */ 5, 4, 11, 3, 9, 1,
    /*  86 */ 10, 5, 3, 0, 11, 4, 9, 3, 1, 2, 5,
    /*  87 */ 6, 5, 3, 2, 11, 5, 9,
    /*  88 */ 9, 4, 6, 4, 11, 9, 3, 3, 7, 2,
    /*  89 */ 10, 5, 11, 6, 9, 0, 1, 3, 3, 7, 2,
    /*  90 */ 10, 4, 6, 4, 11, 9, 4, 3, 1, 7, 5,
    /*  91 */ 8, 7, 11, 6, 9, 0, 5, 3, 7,
    /*  92 */ 7, 6, 4, 9, 0, 11, 2, 7,
    /*  93 */ 6, 5, 11, 7, 9, 2, 1,
    /*  94 */ 8, 7, 9, 4, 11, 0, 7, 1, 5,
    /*  95 */ 5, 4, 11, 9, 7, 5,
    /*  96 */ 8, 3, 6, 8, 11, 3, 9, 10, 5,
    /*  97 */ 12, 3, 6, 8, 11, 3, 0, 4, 1, 3, 9, 10, 5,
    /*  98 */ 9, 3, 6, 8, 11, 4, 9, 1, 10, 2,
    /*  99 */ 10, 3, 6, 8, 11, 5, 0, 4, 2, 9, 10,
    /* 100 */ 9, 4, 8, 0, 11, 3, 3, 9, 10, 5,
    /* 101 */ 10, 5, 1, 4, 3, 8, 11, 3, 9, 10, 5,
    /* 102 */ 10, 4, 8, 0, 11, 3, 4, 9, 1, 10, 2,
    /* 103 */ 8, 7, 11, 8, 3, 4, 2, 9, 10,
    /* 104 */ 12, 3, 6, 8, 11, 3, 3, 7, 2, 3, 9, 10, 5,
    /* 105 */ 16, 3, 6, 8, 11, 3, 0, 4, 1, 3, 3, 7, 2, 3, 9, 10, 5,
    /* 106 */ 10, 3, 6, 8, 11, 5, 1, 9, 3, 10, 7,
    /* 107 */ 11, 3, 6, 8, 11, 6, 4, 0, 9, 3, 10, 7,
    /* 108 */ 10, 5, 8, 11, 0, 7, 2, 3, 9, 10, 5,
    /* 109 */ 11, 6, 11, 8, 7, 4, 2, 1, 3, 9, 10, 5,
    /* 110 */ 8, 7, 8, 11, 0, 7, 1, 10, 9,
    /* 111 */ 7, 6, 11, 8, 7, 4, 10, 9,
    /* 112 */ 6, 5, 6, 11, 4, 10, 5,
    /* 113 */ 7, 6, 0, 6, 1, 11, 5, 10,
    /* 114 */ 7, 6, 11, 6, 10, 4, 2, 1,
    /* 115 */ 6, 5, 0, 6, 2, 11, 10,
    /* 116 */ 7, 6, 0, 3, 4, 11, 5, 10,
    /* 117 */ 6, 5, 11, 10, 3, 5, 1,
    /* 118 */ 8, 7, 3, 0, 11, 4, 10, 1, 2,
    /* 119 */ 5, 4, 11, 3, 10, 2,
    /* 120 */ 10, 5, 6, 11, 4, 10, 5, 3, 3, 7, 2,
    /* 121 */ 11, 6, 6, 0, 11, 1, 10, 5, 3, 3, 7, 2,
    /* 122 */ 8, 7, 6, 11, 4, 10, 1, 7, 3,
    /* 123 */ 7, 6, 6, 11, 0, 10, 3, 7,
    /* 124 */ 8, 7, 2, 7, 0, 11, 4, 10, 5,
    /* 125 */ 7, 6, 7, 2, 11, 1, 10, 5,
    /* 126 */ 8, 3, 0, 4, 1, 3, 11, 7, 10,
    /* 127 */ 4, 3, 11, 7, 10,
    /* 128 */ 4, 3, 11, 7, 10,
    /* 129 */ 8, 3, 0, 4, 1, 3, 11, 7, 10,
    /* 130 */ 8, 3, 11, 7, 10, 3, 1, 2, 5,
    /* 131 */ 9, 4, 0, 4, 2, 5, 3, 11, 7, 10,
    /* 132 */ 8, 3, 6, 0, 3, 3, 11, 7, 10,
    /* 133 */ 9, 4, 6, 4, 3, 1, 3, 11, 7, 10,
    /* 134 */ 12, 3, 6, 0, 3, 3, 11, 7, 10, 3, 1, 2, 5,
    /* 135 */ 10, 5, 6, 3, 4, 2, 5, 3, 11, 7, 10,
    /* 136 */ 5, 4, 11, 3, 10, 2,
    /* 137 */ 9, 3, 0, 4, 1, 4, 11, 3, 10, 2,
    /* 138 */ 6, 5, 11, 10, 3, 5, 1,
    /* 139 */ 7, 6, 0, 4, 3, 5, 11, 10,
    /* 140 */ 6, 5, 0, 6, 2, 11, 10,
    /* 141 */ 7, 6, 11, 10, 6, 2, 4, 1,
    /* 142 */ 7, 6, 0, 1, 6, 5, 11, 10,
    /* 143 */ 6, 5, 6, 11, 4, 10, 5,
    /* 144 */ 8, 3, 8, 4, 9, 3, 11, 7, 10,
    /* 145 */ 9, 4, 8, 0, 9, 1, 3, 11, 7, 10,
    /* 146 */ 12, 3, 8, 4, 9, 3, 11, 7, 10, 3, 1, 2, 5,
    /* 147 */ 10, 5, 8, 9, 0, 5, 2, 3, 11, 7, 10,
    /* 148 */ 12, 3, 6, 0, 3, 3, 8, 4, 9, 3, 11, 7, 10,
    /* 149 */ 10, 5, 3, 6, 1, 8, 9, 3, 11, 7, 10,
    /* 150 */ 16, 3, 6, 0, 3, 3, 8, 4, 9, 3, 11, 7, 10, 3, 1, 2, 5,
    /* 151 */ 11, 6, 6, 3, 8, 2, 9, 5, 3, 11, 7, 10,
    /* 152 */ 9, 3, 8, 4, 9, 4, 11, 3, 10, 2,
    /* 153 */ 10, 4, 8, 0, 9, 1, 4, 11, 3, 10, 2,
    /* 154 */ 10, 3, 8, 4, 9, 5, 11, 10, 3, 5, 1,
    /* 155 */ 8, 7, 8, 9, 0, 5, 3, 10, 11,
    /* 156 */ 10, 3, 8, 4, 9, 5, 0, 6, 2, 11, 10,
    /* 157 */ 8, 7, 9, 8, 1, 6, 2, 11, 10,
    /* 158 */ 11, 3, 8, 4, 9, 6, 0, 6, 1, 11, 5, 10,
    /* 159 */ 7, 6, 8, 9, 6, 5, 11, 10,
    /* 160 */ 5, 4, 11, 9, 7, 5,
    /* 161 */ 9, 3, 0, 4, 1, 4, 11, 9, 7, 5,
    /* 162 */ 6, 5, 11, 7, 9, 2, 1,
    /* 163 */ 7, 6, 4, 0, 9, 2, 11, 7,
    /* 164 */ 9, 3, 6, 0, 3, 4, 11, 9, 7, 5,
    /* 165 */ 10, 4, 6, 4, 3, 1, 4, 11, 9, 7, 5,
    /* 166 */ 10, 3, 6, 0, 3, 5, 11, 7, 9, 2, 1,
    /* 167 */ 8, 7, 6, 3, 4, 2, 9, 7, 11,
    /* 168 */ 6, 5, 3, 2, 11, 5, 9,
    /* 169 */ 10, 3, 0, 4, 1, 5, 3, 2, 11, 5, 9,
    /* 170 */ 5, 4, 11, 3, 9, 1,
    /* 171 */ 6, 5, 3, 0, 11, 4, 9,
    /* 172 */ 7, 6, 6, 0, 11, 2, 9, 5,
    /* 173 */ 8, 7, 4, 1, 6, 2, 11, 5, 9,
    /* 174 */ 6, 5, 11, 6, 9, 0, 1,
    /* 175 */ 5, 4, 6, 4, 11, 9,
    /* 176 */ 6, 5, 4, 8, 5, 11, 7,
    /* 177 */ 7, 6, 11, 8, 7, 0, 5, 1,
    /* 178 */ 7, 6, 11, 8, 7, 4, 2, 1,
    /* 179 */ 6, 5, 8, 11, 0, 7, 2,
    /* 180 */ 10, 3, 6, 0, 3, 5, 4, 8, 5, 11, 7,
    /* 181 */ 8, 7, 3, 6, 1, 8, 5, 11, 7,
    /* 182 */ 11, 3, 6, 0, 3, 6, 1, 4, 2, 8, 7, 11,
    /* 183 */ 7, 6, 6, 3, 8, 2, 11, 7,
    /* 184 */ 7, 6, 8, 11, 4, 3, 5, 2,
    /* 185 */ 8, 7, 0, 1, 8, 5, 11, 2, 3,
    /* 186 */ 6, 5, 1, 4, 3, 8, 11,
    /* 187 */ 5, 4, 11, 8, 3, 0,
    /* 188 */ 8, 7, 4, 8, 5, 11, 2, 6, 0,
    /* 189 */ 8, 3, 6, 8, 11, 3, 1, 2, 5,
    /* 190 */ 7, 6, 6, 0, 11, 1, 8, 4,
    /* 191 */ 4, 3, 6, 8, 11,
    /* 192 */ 5, 4, 6, 8, 7, 10,
    /* 193 */ 9, 3, 0, 4, 1, 4, 6, 8, 7, 10,
    /* 194 */ 9, 4, 6, 8, 7, 10, 3, 1, 2, 5,
    /* 195 */ 10, 4, 6, 8, 7, 10, 4, 0, 4, 2, 5,
    /* 196 */ 6, 5, 0, 3, 8, 7, 10,
    /* 197 */ 7, 6, 4, 8, 1, 10, 3, 7,
    /* 198 */ 10, 5, 0, 3, 8, 7, 10, 3, 1, 2, 5,
    /* 199 */ 8, 7, 10, 7, 8, 3, 4, 2, 5,
    /* 200 */ 6, 5, 8, 6, 10, 3, 2,
    /* 201 */ 10, 3, 0, 4, 1, 5, 8, 6, 10, 3, 2,
    /* 202 */ 7, 6, 6, 8, 3, 10, 1, 5,
    /* 203 */ 8, 7, 8, 6, 10, 3, 5, 0, 4,
    /* 204 */ 5, 4, 8, 0, 10, 2,
    /* 205 */ 6, 5, 8, 4, 10, 1, 2,
    /* 206 */ 6, 5, 0, 1, 8, 5, 10,
    /* 207 */ 5, 4, 8, 4, 10, 5,
    /* 208 */ 6, 5, 4, 9, 6, 10, 7,
    /* 209 */ 7, 6, 0, 6, 1, 7, 9, 10,
    /* 210 */ 10, 5, 4, 9, 6, 10, 7, 3, 1, 2, 5,
    /* 211 */ 8, 7, 7, 10, 6, 9, 0, 5, 2,
    /* 212 */ 7, 6, 0, 4, 3, 9, 7, 10,
    /* 213 */ 6, 5, 9, 10, 1, 7, 3,
    /* 214 */ 11, 6, 0, 4, 3, 9, 7, 10, 3, 1, 2, 5,
    /* 215 */ 7, 6, 7, 10, 3, 9, 2, 5,
    /* 216 */ 7, 6, 3, 2, 6, 10, 4, 9,
    /* 217 */ 8, 7, 1, 0, 9, 6, 10, 3, 2,
    /* 218 */ 8, 7, 4, 9, 6, 10, 3, 5, 1,
    /* 219 */ 8, 3, 6, 0, 3, 3, 9, 10, 5,
    /* 220 */ 6, 5, 0, 4, 2, 9, 10,
    /* 221 */ 5, 4, 9, 1, 10, 2,
    /* 222 */ 7, 6, 4, 9, 0, 10, 1, 5,
    /* 223 */ 4, 3, 9, 10, 5,
    /* 224 */ 6, 5, 6, 8, 7, 9, 5,
    /* 225 */ 10, 5, 6, 8, 7, 9, 5, 3, 0, 4, 1,
    /* 226 */ 7, 6, 8, 9, 6, 1, 7, 2,
    /* 227 */ 8, 7, 6, 8, 7, 9, 2, 4, 0,
    /* 228 */ 7, 6, 3, 7, 0, 5, 8, 9,
    /* 229 */ 8, 7, 1, 4, 3, 8, 7, 9, 5,
    /* 230 */ 8, 7, 0, 3, 8, 7, 9, 2, 1,
    /* 231 */ 8, 3, 8, 4, 9, 3, 3, 7, 2,
    /* 232 */ 7, 6, 6, 8, 3, 9, 2, 5,
    /* 233 */ 11, 6, 6, 8, 3, 9, 2, 5, 3, 0, 4, 1,
    /* 234 */ 6, 5, 3, 6, 1, 8, 9,
    /* 235 */ 7, 6, 6, 8, 3, 9, 0, 4,
    /* 236 */ 6, 5, 8, 9, 0, 5, 2,
    /* 237 */ 7, 6, 4, 1, 8, 2, 9, 5,
    /* 238 */ 5, 4, 8, 0, 9, 1,
    /* 239 */ 4, 3, 8, 4, 9,
    /* 240 */ 5, 4, 6, 4, 7, 5,
    /* 241 */ 6, 5, 6, 0, 7, 1, 5,
    /* 242 */ 6, 5, 4, 1, 6, 2, 7,
    /* 243 */ 5, 4, 6, 0, 7, 2,
    /* 244 */ 6, 5, 4, 0, 5, 3, 7,
    /* 245 */ 5, 4, 3, 1, 7, 5,
    /* 246 */ 7, 6, 0, 3, 4, 7, 1, 2,
    /* 247 */ 4, 3, 3, 7, 2,
    /* 248 */ 6, 5, 6, 3, 4, 2, 5,
    /* 249 */ 7, 6, 0, 1, 6, 5, 3, 2,
    /* 250 */ 5, 4, 6, 4, 3, 1,
    /* 251 */ 4, 3, 6, 0, 3,
    /* 252 */ 5, 4, 0, 4, 2, 5,
    /* 253 */ 4, 3, 1, 2, 5,
    /* 254 */ 4, 3, 0, 4, 1,
    /* 255 */ 0,
};

/// The 256 records of CASE_TABLE, built once (the first call fills the table; thread-safe).
const uint8_t* const* caseRecords();

/// Fraction t along an edge from its lower corner, from the corners' sample values s0, s1 (compared
/// with the iso value iso) and second values m0, m1 (compared with the second threshold m). Where
/// both second values lie above their threshold the vertex sits at the linear iso crossing; where
/// both samples lie above the iso value it sits at the crossing of the second values; otherwise
/// both crossings are measured from the end each field rises towards and the one lying further
/// from that end wins: where both fields rise along the edge, the vertex sits at the later of the
/// two crossings, the border of the part of the edge where both are inside.
/// The result is clamped into [EDGE_END, 1 - EDGE_END]: a vertex exactly on a sample (a sample equal
/// to the iso value, common in integer volumes) would coincide with the vertices of the sample's
/// other edges, and merging them pinches the surface into non-manifold fans; just off the sample
/// each stays on its own edge, and the bad-triangle repair collapses what is too small. A crossing
/// that cannot be computed (equal values, non-finite input) gives 0.5.
inline constexpr float EDGE_END = 1.0f / 256.0f;

inline float edgePlacement(float s0, float s1, float m0, float m1, float iso, float m)
{
  double t;
  if (m0 > m && m1 > m)
    t = (double(iso) - s0) / (double(s1) - s0);
  else if (s0 > iso && s1 > iso)
    t = (double(m) - m0) / (double(m1) - m0);
  else {
    const double ts = (double(iso) - s0) / (double(s1) - s0);
    const double tm = (double(m) - m0) / (double(m1) - m0);
    const double us = s0 <= s1 ? 1.0 - ts : ts;
    const double um = m0 <= m1 ? 1.0 - tm : tm;
    t = us > um ? tm : ts;
  }
  if (std::isnan(t))
    return 0.5f;
  t = t > double(EDGE_END) ? t : double(EDGE_END);
  return float(t < 1.0 - double(EDGE_END) ? t : 1.0 - double(EDGE_END));
}

/// One cell as the polygoniser sees it: the corners' inside flags (0 or 1) and two values, and the
/// positions of the cell's two sample planes on each axis (lo[a] at index 0, hi[a] at index 1).
struct Cell {
  uint8_t inside[8];
  float value[8];
  float second[8];
  double lo[3], hi[3];
};

/// How vertices are placed on their edges.
enum class Placement { Linear, Midpoint };

/// Polygonises cell: for each triangle calls emit(p0, p1, p2) with three double[3] positions in
/// the orientation that makes the normal point away from the inside. Returns the case index.
template <class Emit>
int polygonizeCell(const Cell& cell, float iso, float threshold, Placement placement, Emit&& emit)
{
  int index = 0;
  for (int c = 0; c < 8; ++c)
    index |= cell.inside[c] << c;
  const uint8_t* record = caseRecords()[index];
  const uint8_t* p = record + 1;
  const uint8_t* end = p + record[0];
  while (p < end) {
    const int k = *p++;
    double v[7][3];
    for (int i = 0; i < k; ++i) {
      const int e = p[i], a = EDGE_AXIS[e];
      const int c0 = EDGE_CORNERS[e][0], c1 = EDGE_CORNERS[e][1];
      // The lower corner's position, then along the edge's axis by the fraction of the spacing.
      for (int b = 0; b < 3; ++b)
        v[i][b] = (c0 >> b) & 1 ? cell.hi[b] : cell.lo[b];
      const float t = placement == Placement::Midpoint
                          ? 0.5f
                          : edgePlacement(cell.value[c0], cell.value[c1], cell.second[c0], cell.second[c1], iso, threshold);
      v[i][a] = cell.lo[a] + double(t) * (cell.hi[a] - cell.lo[a]);
    }
    // Strip: (v0, v1, v2); each further vertex takes the slot filled longest ago (0, 1, 2, 0, ...).
    int slot[3] = {0, 1, 2};
    for (int i = 2; i < k; ++i) {
      if (i > 2)
        slot[(i - 3) % 3] = i;
      // The direction into the inside, one component per edge axis of the triangle's vertices.
      double d[3] = {0.0, 0.0, 0.0};
      for (int j = 0; j < 3; ++j) {
        const int e = p[slot[j]];
        d[EDGE_AXIS[e]] = double(cell.inside[EDGE_CORNERS[e][1]]) - double(cell.inside[EDGE_CORNERS[e][0]]);
      }
      const double* a = v[slot[0]];
      const double* b = v[slot[1]];
      const double* c = v[slot[2]];
      const double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
      const double e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
      const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
      const double dot = n[0] * d[0] + n[1] * d[1] + n[2] * d[2];
      if (dot < 0.0)
        emit(a, b, c);
      else
        emit(a, c, b);
    }
    p += k;
  }
  return index;
}

} // namespace KEXMeshExtract
