#!/bin/bash
# End-to-end test of the kexmesh tool: exit codes (0 success, 1 failed, 2 bad usage or unreadable
# input, 3 problems found), outputs, --quiet and stops by signal.
# Usage: cli_test.sh <kexmesh executable> <scratch directory>
set -u
K="$1" W="$2"
rm -rf "$W" && mkdir -p "$W" && cd "$W" || exit 1
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# t <code> <arguments...>: runs the tool, output in out.txt / err.txt, and checks the exit code.
t() {
  local want=$1; shift
  "$K" "$@" >out.txt 2>err.txt; local got=$?
  [ "$got" -eq "$want" ] || fail "exit $got (wanted $want): $*  -- $(head -c 400 err.txt)"
}
# o / e <pattern...>: every pattern is in the standard output / the error output.
o() { for p; do grep -q -- "$p" out.txt || fail "stdout lacks '$p': $(head -c 400 out.txt)"; done; }
e() { for p; do grep -q -- "$p" err.txt || fail "stderr lacks '$p': $(head -c 400 err.txt)"; done; }
lacks() { ! grep -q -- "$2" "$1" || fail "$1 has '$2'"; }
written() { for f; do [ -f "$f" ] || fail "$f not written"; done; }
absent() { for f; do [ -f "$f" ] && fail "$f written"; done; }
# volume <file.off>: signed volume of the triangles of an OFF file (positive: facing outwards)
volume() {
  awk 'NR == 1 || /^#/ || NF == 0 { next }
       !counts { nv = $1; counts = 1; next }
       i < nv { x[i] = $1; y[i] = $2; z[i] = $3; i++; next }
       { a = $2; b = $3; c = $4
         v += x[a] * (y[b] * z[c] - z[b] * y[c]) - y[a] * (x[b] * z[c] - z[b] * x[c]) + z[a] * (x[b] * y[c] - y[b] * x[c]) }
       END { printf "%.6f\n", v / 6 }' "$1"
}
# holds <awk condition over a and b> <a> <b> <message>
holds() { awk -v a="$2" -v b="$3" "BEGIN { exit !($1) }" || fail "$4 ($2, $3)"; }

# Usage errors.
t 2; t 2 no-such-command; t 2 weld only-one-argument.ply
t 0 --help; o "weld"; t 0 --version; o "kexmesh "

# Generation, conversion through every format, info.
t 0 generate torus t.ply -n 5000; written t.ply
t 0 info t.ply; o "vertices:  *2450" "triangles:  *4900" "valid:  *yes" "boundary edges:  *0"
for f in t.stl t.off t.obj t-ascii.ply; do t 0 convert t.ply "$f"; written "$f"; done
t 0 --ascii convert t.ply t-text.stl
head -c 5 t-text.stl | grep -q solid || fail "--ascii did not write text STL"
t 0 info t.off; o "triangles:  *4900" "surface area:" "angles below 10 degrees:"
t 0 info t.obj; o "vertices:  *2450"; t 0 info t.stl; o "vertices:  *14700"

# Unknown extensions and unreadable input: exit 2, the supported formats listed, nothing written.
t 2 convert t.ply t.3ds; e "error: " "ply stl off obj xyz pwn"; absent t.3ds
t 2 info missing.ply; e "error: missing.ply: cannot open"
printf 'ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 9\n' > bad.ply
t 2 convert bad.ply out.off; e "error: bad.ply:13: face 0 refers to vertex 9"; absent out.off
: > empty.stl
t 2 info empty.stl; e "empty"
t 1 convert t.ply no/such/dir/t.ply; e "error: "

# Weld of a triangle soup gives back the shared vertices; check and fix on problems exit 3.
t 0 generate sphere soup.stl -n 3000 --soup; t 0 weld soup.stl welded.ply
t 0 info welded.ply; o "boundary edges:  *0" "duplicate vertices:  *0"
t 0 check welded.ply; o "no problems found"; t 3 check soup.stl; o "problems found"
printf 'OFF\n4 2 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n3 0 1 2\n3 0 2 3\n' > sheet.off
t 3 check sheet.off; t 3 fix sheet.off sheet-fixed.off; o "open edges left:  *4 (in 1 loops)"; written sheet-fixed.off

# Transform (a mirror keeps the orientation outward), normals, flip, orientation, full repair.
t 0 transform t.ply scaled.ply --scale 2; t 0 info scaled.ply
t 0 transform t.ply mirrored.ply --scale -1 1 1; t 0 info mirrored.ply; o "inconsistent orientation:  *0"
t 2 transform t.ply x.ply --scale 0; t 2 transform t.ply x.ply
t 0 normals t.ply n.ply; t 0 info n.ply; o "vertex-normals"
t 0 flip t.ply f.ply; t 0 orient f.ply o.ply
t 0 fix soup.stl fixed.ply; t 0 info fixed.ply; o "valid:  *yes"

# The repair filter: a step list (turned inside out on purpose), refused settings, the report.
t 0 convert t.ply t-in.off
t 3 fix --steps FlipOrientation,Check t.ply t-flipped.off; o "inward components left:  *1" "FlipOrientation"; lacks out.txt "ClusterVertices"
holds 'a > 1 && b < -1 && (a + b) * (a + b) < 1e-6 * a * a' "$(volume t-in.off)" "$(volume t-flipped.off)" \
  "--steps FlipOrientation,Check did not negate the volume"
t 2 fix --steps FlipOrientation,NoSuchStep t.ply x.ply; e "error: unknown repair step 'NoSuchStep'" "ClusterVertices"
t 2 fix --steps Filter t.ply x.ply; e "unknown repair step 'Filter'"
t 2 fix --cap-limits 80,180 t.ply x.ply; e "error: --cap-limits 80,180 refused"
t 2 fix --needle-limits 0,30 t.ply x.ply; t 2 fix --angle-limits 5,2 t.ply x.ply
t 2 enhance --cap-limits 80,180 t.ply x.ply; absent x.ply
t 0 fix --cap-limits 90,170 --max-distance 0 t.ply t-fixed.ply; o "vertices welded:  *0" "components flipped:  *0"; t 0 check t-fixed.ply
t 0 enhance --cap-limits 90,170 t.ply t-enhanced.ply; t 0 check t-enhanced.ply

# fix on a soup with two holes and most triangles turned: welded, closed, consistent, outward.
t 0 generate torus soup-t.off -n 4000 --soup
awk 'NR <= 2 { if (NR == 2) { $2 = $2 - 12 }; print; next }
     NF == 4 && $1 == 3 { f++; if ((f > 500 && f <= 506) || (f > 2100 && f <= 2106)) next
                          if (f % 7 != 0) { t = $3; $3 = $4; $4 = t } }
     { print }' soup-t.off > damaged-t.off
t 0 info damaged-t.off; o "duplicate vertices:  *10240"; t 0 fix damaged-t.off repaired-t.off
o "holes filled:  *2 (2 before, 0 left)" "components flipped:  *1" "open edges left:  *0" "invalid triangles left:  *0"
lacks out.txt "vertices welded:  *0$"
t 0 check repaired-t.off; o "no problems found"
holds 'a > 1' "$(volume repaired-t.off)" 0 "the repaired torus does not face outwards"

# --quiet silences warnings (writing triangles to a point format warns), before or after the command.
t 0 convert t.ply cloud.xyz; e "warning: "
t 0 --quiet convert t.ply cloud2.xyz; lacks err.txt "warning: "
t 0 convert t.ply cloud3.xyz --quiet; lacks err.txt "warning: "

# The demo writes its meshes, pictures and table.
t 0 demo -o demo-out; o "repaired"
for f in original damaged repaired; do written "demo-out/$f.ply" "demo-out/$f.png"; done
t 3 check demo-out/damaged.ply; o "problems found"; t 0 check demo-out/repaired.ply

# Simplification: a target reached with a closed, manifold output; usage errors; bad input.
t 0 simplify t.ply t-simple.off --triangles 1000; e "simplified 4900 -> "
t 0 check t-simple.off; o "boundary edges:  *0" "non-manifold edges:  *0"
holds 'a <= 1000 && a >= 900' "$(awk 'NR == 2 { print $2 }' t-simple.off)" 0 "simplify --triangles 1000 missed its target"
t 0 simplify t.ply t-half.ply --ratio 0.5 --quality fastest; e "4900 -> 24[0-9][0-9] triangles"
t 0 simplify t.ply t-tight.ply --vertices 100 --error 0; e "simplified 4900 -> "
for args in "" "--triangles 10 --ratio 0.5" "--ratio 1.5" "--triangles 10 --quality best"; do t 2 simplify t.ply t-x.ply $args; done
printf 'OFF\n4 4 0\n1 1 1\n1 1 1\n1 1 1\n1 1 1\n3 0 1 2\n3 0 2 3\n3 0 3 1\n3 1 3 2\n' > point.off
t 1 simplify point.off nan-out.off --triangles 1; e "no positive sampling distance"; absent nan-out.off

# A stop by SIGINT, SIGTERM or SIGHUP during a long weld or info: exit 1, a message, no output.
t 0 --quiet generate torus big.ply -n 3000000 --soup
stopped() {
  local sig=$1 pause=$2; shift 2
  "$K" "$@" >out.txt 2>err.txt & local pid=$!
  sleep "$pause"; kill -"$sig" $pid; wait $pid; local code=$?
  [ "$code" -eq 1 ] || fail "SIG$sig gave exit $code (wanted 1): $*: $(cat err.txt)"
  e "stopped"
}
for sig in INT TERM HUP; do
  stopped $sig 0.5 weld big.ply big-welded.ply; absent big-welded.ply
  ls big-welded.ply.part* >/dev/null 2>&1 && fail "a weld stopped by SIG$sig left a temporary file"
done
stopped INT 0.5 info big.ply

# Replacing an output keeps a symbolic link and the file mode, and leaves a look-alike temporary alone.
t 0 --quiet generate sphere s.off -n 200
ln -sf real.ply link.ply; t 0 convert s.off link.ply
[ -L link.ply ] && [ -s real.ply ] || fail "writing through a symbolic link did not keep the link"
chmod 600 real.ply; t 0 convert s.off link.ply
[ "$(stat -c %a real.ply)" = 600 ] || fail "the replaced file's mode was not kept: $(stat -c %a real.ply)"
echo precious > plain.ply.part; t 0 convert s.off plain.ply
grep -q precious plain.ply.part || fail "plain.ply.part was touched"
ls plain.ply.part-* >/dev/null 2>&1 && fail "a write left its temporary file"

# Scripts: --json, --quiet prints nothing but errors, step names in any case.
t 0 fix s.off s-fixed.ply --json
python3 -c 'import json,sys; r=json.load(open("out.txt")); sys.exit(0 if r["succeeded"] and not r["problemsLeft"] and r["steps"] else 1)' ||
  fail "fix --json is not the expected JSON: $(head -c 300 out.txt)"
t 0 fix s.off s-fixed.ply --quiet --steps check,CLUSTERVERTICES
[ -s out.txt ] || [ -s err.txt ] && fail "fix --quiet printed: $(head -c 200 out.txt err.txt)"
t 0 fix --help; o "ConsolidateOrientation"

# Point cloud reduction: thinned with a count, tolerance 0 keeps all, no normals or a mesh refused.
t 0 --quiet generate sphere rs.ply -n 40000; t 0 --quiet normals rs.ply rs-n.ply; t 0 --quiet convert rs-n.ply rs.xyz
t 0 reduce rs.xyz rs-reduced.xyz --tolerance 0.01 --quiet; e "reduced "
holds 'a < b && a > 100' "$(wc -l < rs-reduced.xyz)" "$(wc -l < rs.xyz)" "reduce kept every point or almost nothing"
t 0 reduce rs.xyz rs-same.xyz --tolerance 0 --min-dot 0.5 --spacing 0.02 --quiet
holds 'a == b' "$(wc -l < rs-same.xyz)" "$(wc -l < rs.xyz)" "reduce with tolerance 0 dropped points"
awk '{ print $1, $2, $3 }' rs.xyz > rs-bare.xyz; t 1 reduce rs-bare.xyz rs-bare-out.xyz --tolerance 0.01; e "no normals"; absent rs-bare-out.xyz
t 1 reduce rs-n.ply rs-mesh-out.ply --tolerance 0.01; e "has triangles"
for args in "" "--tolerance -1" "--tolerance 0.01 --min-dot 2"; do t 2 reduce rs.xyz rs-x.xyz $args; done
# A flat plate in the xy plane has no sampling distance along z: the default spacing must still thin it.
awk 'BEGIN { srand(3); for (i = 0; i < 120; ++i) for (j = 0; j < 120; ++j)
  printf "%.5f %.5f 0 0 0 1\n", i * 0.01 + 0.002 * rand(), j * 0.01 + 0.002 * rand() }' > plate.xyz
t 0 reduce plate.xyz plate-reduced.xyz --tolerance 0.005 --quiet
holds 'a < 0.7 * b' "$(wc -l < plate-reduced.xyz)" "$(wc -l < plate.xyz)" "reduce kept a flat plate whole"

# Surface reconstruction: a sphere cloud gives a closed surface, so does a mesh whose vertices
# (normals computed from its triangles) become the cloud; a cloud without normals is refused.
t 0 --quiet generate sphere rc.ply -n 2000; t 0 --quiet normals rc.ply rc-n.ply; t 0 --quiet convert rc-n.ply rc.xyz
t 0 reconstruct rc.xyz rc.off; e "reconstructed " " triangles, 0 boundary loops left"; written rc.off
t 0 info rc.off; o "boundary edges:  *0" "non-manifold edges:  *0"
holds 'a > 1.9 * b' "$(awk '/triangles:/ { print $2; exit }' out.txt)" "$(wc -l < rc.xyz)" "reconstruct made too few triangles"
t 0 reconstruct rc.ply rc-mesh.off --min-dot 0.7; e "computed normals" "reconstructed "
t 0 reconstruct rc.xyz rc-reduced.off --reduce 0.01 --max-distance 0.5; e "reduced " "reconstructed "
awk '{ print $1, $2, $3 }' rc.xyz > rc-bare.xyz; t 2 reconstruct rc-bare.xyz rc-x.off; e "no normals"; absent rc-x.off
awk '{ print $1, $2, $3, 0, 0, 0 }' rc.xyz > rc-zero.xyz; t 1 reconstruct rc-zero.xyz rc-x.off; e "Invalid vertex normal found"; absent rc-x.off
for args in "--min-dot 2" "--max-distance 0" "--reduce -1"; do t 2 reconstruct rc.xyz rc-x.off $args; done; absent rc-x.off
t 0 reconstruct rc.xyz rc-holes.off --holes; e " 0 boundary loops left"
# On a terminal the bar names the round (the rounds are most of the run on 40,000 points, so some
# of the redraws fall into them).
if command -v script >/dev/null 2>&1; then
  script -qec "'$K' reconstruct rs.xyz rc-tty.off" /dev/null > tty.txt 2>&1 || fail "reconstruct on a terminal failed"
  grep -aq "Round [0-9]*: " tty.txt || fail "the progress bar lacks the round: $(tr '\r' '\n' < tty.txt | tail -c 300)"
fi

# info measures through the library's analyzer (above); --json and --histogram for scripts and viewing.
t 0 info t.off --json --histogram hist.svg
python3 -c "import json,sys; d=json.load(open('out.txt')); a=d['analysis']; sys.exit(not (sum(a['angleHistogram']) == 3 * d['triangles'] and a['surfaceArea'] > 0 and a['badEdges'] == 0))" \
  || fail "info --json: histogram, area or bad edges wrong"
grep -q "<svg" hist.svg && grep -q "inner angle (degrees)" hist.svg || fail "hist.svg is not the histogram"
t 3 check soup.stl --json; o '"triangleSoup": true' '"problems": true'
t 0 info soup.stl; o "triangle soup: .* vertex copies, .* after welding exact duplicates"; lacks out.txt "boundary edges:"

# Smoothing: both methods move vertices, bad settings are usage errors; a matrix scales the volume.
t 0 generate sphere s.off -n 2000
t 0 smooth s.off s-arc.off; e "1 arc iteration"
t 0 smooth s.off s-lap.off --method laplace --iterations 3; e "3 laplace iterations"; t 0 info s-lap.off; o "boundary edges:  *0"
cmp -s s.off s-lap.off && fail "laplace smoothing changed nothing"
v0=$(volume s.off); holds 'b > 0 && b < a' "$v0" "$(volume s-lap.off)" "laplace smoothing did not shrink the sphere"
t 2 smooth s.off x.off --method spline; t 2 smooth s.off x.off --iterations 0; absent x.off
t 0 transform s.off s2.off --matrix 2 0 0 1  0 2 0 0  0 0 2 0  0 0 0 1
holds 'b > 7.99 * a && b < 8.01 * a' "$v0" "$(volume s2.off)" "scaling by 2 did not give 8 times the volume"
t 2 transform s.off x.off --scale 1e-6; e "singular"

# subdivide: every triangle into four per step, Loop (default) or butterfly; bad input refused.
t 0 generate torus sd-t.off -n 2000; t 0 subdivide sd-t.off sd-loop.off; e "subdivided"
t 0 subdivide sd-t.off sd-bf.off --method butterfly --steps 2; t 0 check sd-bf.off
triangles() { "$K" info "$1" | awk '/triangles:/ { print $2; exit }'; }
holds 'b == 16 * a' "$(triangles sd-t.off)" "$(triangles sd-bf.off)" "two butterfly steps did not give 16 times the triangles"
t 2 subdivide sd-t.off sd-x.off --steps 0; t 2 subdivide sd-t.off sd-x.off --method cubic
printf 'OFF\n4 2 0\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n3 0 1 2\n3 1 2 3\n' > sd-flipped.off
t 1 subdivide sd-flipped.off sd-x.off; e "inconsistently oriented"; absent sd-x.off

# Pictures: a PNG of the size asked for; bad settings refused before the mesh is read; an unwritable
# path fails without a trace; an empty mesh gives a blank picture and a warning.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", $3 * 256 + $4, $7 * 256 + $8 }'; }
t 0 render t.ply t.png --size 64x48; e "wrote t.png (64x48, 4900 triangles)"
[ "$(head -c 4 t.png | tail -c 3)" = "PNG" ] && [ "$(png_size t.png)" = "64x48" ] || fail "t.png is not a 64x48 PNG"
t 0 render t.ply t-all.png --size 80x60 --view top --wireframe --antialias --highlight bad --material 0.8,0.8,0.8 0.9,0.1,0.1
e "0 open edges"; [ "$(png_size t-all.png)" = "80x60" ] || fail "t-all.png is $(png_size t-all.png), wanted 80x60"
for size in 0x10 10x0 100000x100000 8193x10; do t 2 render no-such-mesh.ply x.png --size $size; e "refused"; done
t 2 render t.ply x.png --size big; t 2 render t.ply x.png --view sideways; e "iso, front"
t 2 render t.ply x.png --material 2,0,0 0,0,1; e "within 0 and 1"; t 2 render t.ply x.png --material 0,0,1
t 2 render t.ply x.jpg; e "ending in .png"; absent x.png
t 1 render t.ply no-such-dir/x.png; e "cannot write"; absent no-such-dir/x.png.part
printf 'OFF\n0 0 0\n' > empty.off; t 0 render empty.off empty.png --size 20x10; e "blank"
[ "$(png_size empty.png)" = "20x10" ] || fail "empty.png is $(png_size empty.png), wanted 20x10"

# Iso-surfaces: a 6x6x6 raw volume of 8-bit samples holding a 2x4x2 block of 200 in zeros.
python3 -c 'import sys; sys.stdout.buffer.write(bytes(200 if 2 <= x <= 3 and 1 <= y <= 4 and 2 <= z <= 3 else 0
  for z in range(6) for y in range(6) for x in range(6)))' > v.raw
t 0 extract v.raw v.off --iso 128 --raw-dims 6 6 6; e "6 x 6 x 6 samples" " 1 component, closed"
holds 'a > 0' "$(volume v.off)" 0 "the extracted block does not face outwards"
t 0 extract v.raw v-cut.off --iso 128 --raw-dims 6 6 6 --box 0 0 0 2.5 6 6 --spacing 1 1 2; e "closed"
holds 'a > 0 && a < b' "$(volume v-cut.off)" "$(volume v.off)" "the box did not cut the block"
t 0 extract v.raw v-empty.off --iso 300 --raw-dims 6 6 6; e "No surface" "0 triangles"
t 2 extract v.raw v-x.off --iso 128; e "--raw-dims"; t 2 extract v.raw v-x.off --iso 128 --raw-dims 7 7 7; e "truncated"; absent v-x.off
t 2 extract v.vol v-x.off --iso 1; e "inr"; t 2 extract v.raw v-x.off --iso 128 --raw-type i16

[ $failures -eq 0 ] || { echo "$failures failures"; exit 1; }
echo "all CLI checks passed"
