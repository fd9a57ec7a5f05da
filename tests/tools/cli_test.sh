#!/bin/bash
# End-to-end test of the kexmesh tool: exit codes (0 success, 1 operation failed, 2 bad usage or
# unreadable input), outputs, --quiet and a stop by SIGINT during a long weld.
# Usage: cli_test.sh <kexmesh executable> <scratch directory>
set -u
K="$1"
W="$2"
rm -rf "$W" && mkdir -p "$W" && cd "$W" || exit 1
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# expect <code> <command...>: runs the command, output in out.txt / err.txt
expect() {
  local want=$1; shift
  "$@" >out.txt 2>err.txt
  local got=$?
  [ "$got" -eq "$want" ] || fail "exit $got (wanted $want): $*  -- $(head -c 400 err.txt)"
}
# volume <file.off>: signed volume of the triangles of an OFF file (positive: facing outwards)
volume() {
  awk 'NR == 1 || /^#/ || NF == 0 { next }
       !counts { nv = $1; counts = 1; next }
       i < nv { x[i] = $1; y[i] = $2; z[i] = $3; i++; next }
       { a = $2; b = $3; c = $4
         v += x[a] * (y[b] * z[c] - z[b] * y[c]) - y[a] * (x[b] * z[c] - z[b] * x[c]) + z[a] * (x[b] * y[c] - y[b] * x[c]) }
       END { printf "%.6f\n", v / 6 }' "$1"
}
contains() { grep -q -- "$2" "$1" || fail "$1 lacks '$2': $(head -c 400 "$1")"; }
lacks() { ! grep -q -- "$2" "$1" || fail "$1 has '$2'"; }

# Usage errors.
expect 2 "$K"
expect 2 "$K" no-such-command
expect 2 "$K" weld only-one-argument.ply
expect 0 "$K" --help
contains out.txt "weld"

# Generation, conversion through every format, info.
expect 0 "$K" generate torus t.ply -n 5000
[ -f t.ply ] || fail "t.ply not written"
expect 0 "$K" info t.ply
contains out.txt "vertices:  *2450"
contains out.txt "triangles:  *4900"
contains out.txt "valid:  *yes"
contains out.txt "boundary edges:  *0"
for f in t.stl t.off t.obj t-ascii.ply; do
  expect 0 "$K" convert t.ply "$f"
  [ -f "$f" ] || fail "$f not written"
done
expect 0 "$K" --ascii convert t.ply t-text.stl
head -c 5 t-text.stl | grep -q solid || fail "--ascii did not write text STL"
expect 0 "$K" info t.off
contains out.txt "triangles:  *4900"
expect 0 "$K" info t.obj
contains out.txt "vertices:  *2450"
expect 0 "$K" info t.stl
contains out.txt "vertices:  *14700"

# Unknown extensions and unreadable input: exit 2, the supported formats listed.
expect 2 "$K" convert t.ply t.3ds
contains err.txt "error: "
contains err.txt "ply stl off obj xyz pwn"
[ -f t.3ds ] && fail "t.3ds written"
expect 2 "$K" info missing.ply
contains err.txt "error: missing.ply: cannot open"
printf 'ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 9\n' > bad.ply
expect 2 "$K" convert bad.ply out.off
contains err.txt "error: bad.ply:13: face 0 refers to vertex 9"
[ -f out.off ] && fail "out.off written from a bad input"
: > empty.stl
expect 2 "$K" info empty.stl
contains err.txt "empty"

# An operation that fails: the output directory does not exist.
expect 1 "$K" convert t.ply no/such/dir/t.ply
contains err.txt "error: "

# Weld of a triangle soup gives back the shared vertices.
expect 0 "$K" generate sphere soup.stl -n 3000 --soup
expect 0 "$K" weld soup.stl welded.ply
expect 0 "$K" info welded.ply
contains out.txt "boundary edges:  *0"
contains out.txt "duplicate vertices:  *0"
expect 0 "$K" check welded.ply
contains out.txt "no problems found"
# A raw soup and an open surface are problems for check (exit 3), and fix says what it left.
expect 3 "$K" check soup.stl
contains out.txt "problems found"
printf 'OFF\n4 2 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n3 0 1 2\n3 0 2 3\n' > sheet.off
expect 3 "$K" check sheet.off
expect 3 "$K" fix sheet.off sheet-fixed.off
contains out.txt "open edges left:  *4 (in 1 loops)"
[ -f sheet-fixed.off ] || fail "fix with problems left did not write its output"

# Transform: a mirror keeps the volume positive (the orientation is flipped back).
expect 0 "$K" transform t.ply scaled.ply --scale 2
expect 0 "$K" info scaled.ply
expect 0 "$K" transform t.ply mirrored.ply --scale -1 1 1
expect 0 "$K" info mirrored.ply
contains out.txt "inconsistent orientation:  *0"
expect 2 "$K" transform t.ply x.ply --scale 0
expect 2 "$K" transform t.ply x.ply

# Normals, flip, orientation, gaps and the full repair.
expect 0 "$K" normals t.ply n.ply
expect 0 "$K" info n.ply
contains out.txt "vertex-normals"
expect 0 "$K" flip t.ply f.ply
expect 0 "$K" orient f.ply o.ply
expect 0 "$K" fix soup.stl fixed.ply
expect 0 "$K" info fixed.ply
contains out.txt "valid:  *yes"

# The repair filter from the command line: a chosen step list, refused settings, the report.
expect 0 "$K" convert t.ply t-in.off
# Turned inside out on purpose: the report counts the inward component and the exit code says so.
expect 3 "$K" fix --steps FlipOrientation,Check t.ply t-flipped.off
contains out.txt "inward components left:  *1"
contains out.txt "FlipOrientation"
lacks out.txt "ClusterVertices"
v0=$(volume t-in.off)
v1=$(volume t-flipped.off)
awk -v a="$v0" -v b="$v1" 'BEGIN { exit !(a > 1 && b < -1 && (a + b) * (a + b) < 1e-6 * a * a) }' ||
  fail "--steps FlipOrientation,Check: volume $v0 became $v1 (wanted its negative)"
expect 2 "$K" fix --steps FlipOrientation,NoSuchStep t.ply x.ply
contains err.txt "error: unknown repair step 'NoSuchStep'"
contains err.txt "ClusterVertices"
[ -f x.ply ] && fail "x.ply written with an unknown step"
expect 2 "$K" fix --steps Filter t.ply x.ply
contains err.txt "unknown repair step 'Filter'"
expect 2 "$K" fix --cap-limits 80,180 t.ply x.ply
contains err.txt "error: --cap-limits 80,180 refused"
[ -f x.ply ] && fail "x.ply written with refused limits"
expect 2 "$K" fix --needle-limits 0,30 t.ply x.ply
expect 2 "$K" fix --angle-limits 5,2 t.ply x.ply
expect 2 "$K" enhance --cap-limits 80,180 t.ply x.ply
[ -f x.ply ] && fail "x.ply written by enhance with refused limits"
expect 0 "$K" fix --cap-limits 90,170 --max-distance 0 t.ply t-fixed.ply
contains out.txt "vertices welded:  *0"
contains out.txt "components flipped:  *0"
expect 0 "$K" check t-fixed.ply
expect 0 "$K" enhance --cap-limits 90,170 t.ply t-enhanced.ply
expect 0 "$K" check t-enhanced.ply

# fix on a damaged generated mesh: a triangle soup with two holes and all but every seventh
# triangle turned around (the surface faces inwards) comes out welded, closed, consistently
# oriented and facing outwards.
expect 0 "$K" generate torus soup-t.off -n 4000 --soup
awk 'NR <= 2 { if (NR == 2) { $2 = $2 - 12 }; print; next }
     NF == 4 && $1 == 3 { f++; if ((f > 500 && f <= 506) || (f > 2100 && f <= 2106)) next
                          if (f % 7 != 0) { t = $3; $3 = $4; $4 = t } }
     { print }' soup-t.off > damaged-t.off
expect 0 "$K" info damaged-t.off
contains out.txt "duplicate vertices:  *10240"
expect 0 "$K" fix damaged-t.off repaired-t.off
contains out.txt "holes filled:  *2 (2 before, 0 left)"
contains out.txt "components flipped:  *1"
contains out.txt "open edges left:  *0"
contains out.txt "invalid triangles left:  *0"
lacks out.txt "vertices welded:  *0$"
expect 0 "$K" check repaired-t.off
contains out.txt "no problems found"
vr=$(volume repaired-t.off)
awk -v a="$vr" 'BEGIN { exit !(a > 1) }' || fail "the repaired torus has volume $vr (wanted positive)"

# --quiet silences warnings (writing triangles to a point format warns).
expect 0 "$K" convert t.ply cloud.xyz
contains err.txt "warning: "
expect 0 "$K" --quiet convert t.ply cloud2.xyz
lacks err.txt "warning: "
expect 0 "$K" convert t.ply cloud3.xyz --quiet
lacks err.txt "warning: "

# The demo writes its meshes and its table.
expect 0 "$K" demo -o demo-out
contains out.txt "repaired"
for f in original damaged repaired; do [ -f "demo-out/$f.ply" ] || fail "demo-out/$f.ply missing"; done
for f in original damaged repaired; do [ -f "demo-out/$f.png" ] || fail "demo-out/$f.png missing"; done
expect 3 "$K" check demo-out/damaged.ply
contains out.txt "problems found"
expect 0 "$K" check demo-out/repaired.ply

# A stop by SIGINT, SIGTERM or SIGHUP during a long weld: exit 1, a message, no output file.
# Simplification: a target reached with a closed, manifold output; usage errors; bad input.
expect 0 "$K" simplify t.ply t-simple.off --triangles 1000
contains err.txt "simplified 4900 -> "
expect 0 "$K" check t-simple.off
contains out.txt "boundary edges:  *0"
contains out.txt "non-manifold edges:  *0"
tri=$(awk 'NR == 2 { print $2 }' t-simple.off)
[ "$tri" -le 1000 ] && [ "$tri" -ge 900 ] || fail "simplify --triangles 1000 gave $tri triangles"
expect 0 "$K" simplify t.ply t-half.ply --ratio 0.5 --quality fastest
contains err.txt "4900 -> 24[0-9][0-9] triangles"
expect 0 "$K" simplify t.ply t-tight.ply --vertices 100 --error 0
contains err.txt "simplified 4900 -> "
expect 2 "$K" simplify t.ply t-x.ply
expect 2 "$K" simplify t.ply t-x.ply --triangles 10 --ratio 0.5
expect 2 "$K" simplify t.ply t-x.ply --ratio 1.5
expect 2 "$K" simplify t.ply t-x.ply --triangles 10 --quality best
printf 'OFF\n4 4 0\n1 1 1\n1 1 1\n1 1 1\n1 1 1\n3 0 1 2\n3 0 2 3\n3 0 3 1\n3 1 3 2\n' > point.off
expect 1 "$K" simplify point.off nan-out.off --triangles 1
contains err.txt "no positive sampling distance"
[ -f nan-out.off ] && fail "a failed simplification wrote its output"

# A stop by SIGINT during a long weld: exit 1, a message, no output file.
expect 0 "$K" --quiet generate torus big.ply -n 3000000 --soup
for sig in INT TERM HUP; do
  "$K" weld big.ply big-welded.ply >out.txt 2>err.txt &
  pid=$!
  sleep 0.5
  kill -$sig $pid
  wait $pid
  code=$?
  [ "$code" -eq 1 ] || fail "SIG$sig gave exit $code (wanted 1): $(cat err.txt)"
  contains err.txt "stopped"
  [ -f big-welded.ply ] && fail "a weld stopped by SIG$sig wrote its output"
  ls big-welded.ply.part* >/dev/null 2>&1 && fail "a weld stopped by SIG$sig left a temporary file"
done

# Replacing an output: a symbolic link stays a link to the new file, the replaced file's mode is
# kept, and a file that merely has the temporary-looking name is left alone.
expect 0 "$K" --quiet generate sphere s.off -n 200
ln -sf real.ply link.ply
expect 0 "$K" convert s.off link.ply
[ -L link.ply ] || fail "writing through a symbolic link replaced the link"
[ -s real.ply ] || fail "writing through a symbolic link did not write its target"
chmod 600 real.ply
expect 0 "$K" convert s.off link.ply
[ "$(stat -c %a real.ply)" = 600 ] || fail "the replaced file's mode was not kept: $(stat -c %a real.ply)"
echo precious > plain.ply.part
expect 0 "$K" convert s.off plain.ply
contains plain.ply.part precious
ls plain.ply.part-* >/dev/null 2>&1 && fail "a write left its temporary file"

# Scripts: --version, --json, --quiet prints nothing but errors, step names in any case.
expect 0 "$K" --version
contains out.txt "kexmesh "
expect 0 "$K" fix s.off s-fixed.ply --json
python3 -c 'import json,sys; r=json.load(open("out.txt")); sys.exit(0 if r["succeeded"] and not r["problemsLeft"] and r["steps"] else 1)' ||
  fail "fix --json is not the expected JSON: $(head -c 300 out.txt)"
expect 0 "$K" fix s.off s-fixed.ply --quiet --steps check,CLUSTERVERTICES
[ -s out.txt ] && fail "fix --quiet printed: $(head -c 200 out.txt)"
[ -s err.txt ] && fail "fix --quiet printed on stderr: $(head -c 200 err.txt)"
expect 0 "$K" fix --help
contains out.txt "ConsolidateOrientation"

# Point cloud reduction: an oriented cloud is thinned (fewer lines, a count on stderr), zero
# tolerance keeps every point, a cloud without normals is refused, bad numbers are usage errors.
expect 0 "$K" --quiet generate sphere rs.ply -n 40000
expect 0 "$K" --quiet normals rs.ply rs-n.ply
expect 0 "$K" --quiet convert rs-n.ply rs.xyz
expect 0 "$K" reduce rs.xyz rs-reduced.xyz --tolerance 0.01 --quiet
contains err.txt "reduced "
[ "$(wc -l < rs-reduced.xyz)" -lt "$(wc -l < rs.xyz)" ] || fail "reduce kept every point"
[ "$(wc -l < rs-reduced.xyz)" -gt 100 ] || fail "reduce kept almost nothing"
expect 0 "$K" reduce rs.xyz rs-same.xyz --tolerance 0 --min-dot 0.5 --spacing 0.02 --quiet
[ "$(wc -l < rs-same.xyz)" -eq "$(wc -l < rs.xyz)" ] || fail "reduce with tolerance 0 dropped points"
awk '{ print $1, $2, $3 }' rs.xyz > rs-bare.xyz
expect 1 "$K" reduce rs-bare.xyz rs-bare-out.xyz --tolerance 0.01
contains err.txt "no normals"
[ -f rs-bare-out.xyz ] && fail "a refused reduction wrote its output"
expect 1 "$K" reduce rs-n.ply rs-mesh-out.ply --tolerance 0.01
contains err.txt "has triangles"
expect 2 "$K" reduce rs.xyz rs-x.xyz
expect 2 "$K" reduce rs.xyz rs-x.xyz --tolerance -1
expect 2 "$K" reduce rs.xyz rs-x.xyz --tolerance 0.01 --min-dot 2

# info measures through the library's analyzer; --json and --histogram for scripts and viewing.
expect 0 "$K" info t.off
contains out.txt "surface area:"
contains out.txt "angles below 10 degrees:"
expect 0 "$K" info t.off --json --histogram hist.svg
python3 -c "import json,sys; d=json.load(open('out.txt')); a=d['analysis']; sys.exit(not (sum(a['angleHistogram']) == 3 * d['triangles'] and a['surfaceArea'] > 0 and a['badEdges'] == 0))" \
  || fail "info --json: histogram, area or bad edges wrong"
contains hist.svg "<svg"
contains hist.svg "inner angle (degrees)"
expect 3 "$K" check soup.stl --json
contains out.txt '"triangleSoup": true'
contains out.txt '"problems": true'
expect 0 "$K" info soup.stl
contains out.txt "triangle soup: .* vertex copies, .* after welding exact duplicates"
lacks out.txt "boundary edges:"
# Ctrl-C during info: exit 1 and a message.
"$K" info big.ply >out.txt 2>err.txt &
pid=$!
sleep 2
kill -INT $pid
wait $pid
code=$?
[ "$code" -eq 1 ] || fail "SIGINT during info gave exit $code (wanted 1): $(cat err.txt)"
contains err.txt "stopped"

# Smoothing: both methods keep the counts and move vertices; a bad method or iteration count is a
# usage error; normals and transform run through their filters.
expect 0 "$K" generate sphere s.off -n 2000
expect 0 "$K" smooth s.off s-arc.off
contains err.txt "1 arc iteration"
expect 0 "$K" smooth s.off s-lap.off --method laplace --iterations 3
contains err.txt "3 laplace iterations"
expect 0 "$K" info s-lap.off
contains out.txt "boundary edges:  *0"
cmp -s s.off s-lap.off && fail "laplace smoothing changed nothing"
v0=$(volume s.off); v3=$(volume s-lap.off)
awk -v a="$v0" -v b="$v3" 'BEGIN { exit !(b > 0 && b < a) }' || fail "laplace smoothing did not shrink the sphere ($v0 -> $v3)"
expect 2 "$K" smooth s.off x.off --method spline
expect 2 "$K" smooth s.off x.off --iterations 0
[ -f x.off ] && fail "x.off written after a usage error"
expect 0 "$K" transform s.off s2.off --matrix 2 0 0 1  0 2 0 0  0 0 2 0  0 0 0 1
v2=$(volume s2.off)
awk -v a="$v0" -v b="$v2" 'BEGIN { exit !(b > 7.99 * a && b < 8.01 * a) }' || fail "scaling by 2 gave volume $v2 (from $v0)"
expect 2 "$K" transform s.off x.off --scale 1e-6
contains err.txt "singular"

# subdivide: every triangle into four per step, Loop (default) or butterfly; bad input refused.
expect 0 "$K" generate torus sd-t.off -n 2000
expect 0 "$K" subdivide sd-t.off sd-loop.off
contains err.txt "subdivided"
expect 0 "$K" subdivide sd-t.off sd-bf.off --method butterfly --steps 2
expect 0 "$K" check sd-bf.off
t0=$("$K" info sd-t.off | awk '/triangles:/ { print $2; exit }')
t2=$("$K" info sd-bf.off | awk '/triangles:/ { print $2; exit }')
[ "$t2" -eq $((16 * t0)) ] || fail "two butterfly steps gave $t2 triangles from $t0 (wanted 16 times)"
expect 2 "$K" subdivide sd-t.off sd-x.off --steps 0
expect 2 "$K" subdivide sd-t.off sd-x.off --method cubic
printf 'OFF\n4 2 0\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n3 0 1 2\n3 1 2 3\n' > sd-flipped.off
expect 1 "$K" subdivide sd-flipped.off sd-x.off
contains err.txt "inconsistently oriented"
[ -f sd-x.off ] && fail "a refused subdivision wrote its output"

# Pictures: a PNG of the size asked for; refused sizes, views, colours and names are usage errors
# checked before the mesh is read; an unwritable path fails without a trace; an empty mesh gives a
# blank picture and a warning.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", $3 * 256 + $4, $7 * 256 + $8 }'; }
expect 0 "$K" render t.ply t.png --size 64x48
contains err.txt "wrote t.png (64x48, 4900 triangles)"
[ "$(head -c 4 t.png | tail -c 3)" = "PNG" ] || fail "t.png is not a PNG"
[ "$(png_size t.png)" = "64x48" ] || fail "t.png is $(png_size t.png), wanted 64x48"
expect 0 "$K" render t.ply t-all.png --size 80x60 --view top --wireframe --antialias --highlight bad \
  --material 0.8,0.8,0.8 0.9,0.1,0.1
[ "$(png_size t-all.png)" = "80x60" ] || fail "t-all.png is $(png_size t-all.png), wanted 80x60"
contains err.txt "0 open edges"
for size in 0x10 10x0 100000x100000 8193x10; do
  expect 2 "$K" render no-such-mesh.ply x.png --size $size
  contains err.txt "refused"
done
expect 2 "$K" render t.ply x.png --size big
expect 2 "$K" render t.ply x.png --view sideways
contains err.txt "iso, front"
expect 2 "$K" render t.ply x.png --material 2,0,0 0,0,1
contains err.txt "within 0 and 1"
expect 2 "$K" render t.ply x.png --material 0,0,1
expect 2 "$K" render t.ply x.jpg
contains err.txt "ending in .png"
[ -f x.png ] && fail "a refused render wrote its picture"
expect 1 "$K" render t.ply no-such-dir/x.png
contains err.txt "cannot write"
[ -f no-such-dir/x.png.part ] && fail "a failed render left a temporary file"
printf 'OFF\n0 0 0\n' > empty.off
expect 0 "$K" render empty.off empty.png --size 20x10
contains err.txt "blank"
[ "$(png_size empty.png)" = "20x10" ] || fail "empty.png is $(png_size empty.png), wanted 20x10"

if [ $failures -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "all CLI checks passed"
