#!/usr/bin/env bash
# Builds qx318 and qx318-sim without cairo and linked statically (the
# static-tools preset), checks that they are static, and runs them:
# --version says the plot is not built in, qx318 demo works, and
# measure --plot is refused at once as a usage error.
# Usage: check-static-tools.sh
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset static-tools
cmake --build --preset static-tools --parallel 2

tools=$PWD/build/static-tools/tools
for tool in qx318 qx318-sim; do
  description=$(file -b "$tools/$tool")
  echo "$tool: $description"
  if ! grep -Eq "static(-pie)? linked|statically linked" <<<"$description"; then
    echo "$tool is not linked statically" >&2
    exit 1
  fi
  if ldd "$tools/$tool" >/dev/null 2>&1; then
    echo "ldd finds shared libraries in $tool:" >&2
    ldd "$tools/$tool" >&2
    exit 1
  fi
done

"$tools/qx318" --version
"$tools/qx318" --version | grep -qx "profile plot (measure --plot): not built in (built without cairo)"
"$tools/qx318-sim" --version

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$tools/qx318" demo >demo.out)
tail -n 2 "$work/demo.out"
[ -s "$work/qx318-demo.png" ] || { echo "qx318 demo left no qx318-demo.png" >&2; exit 1; }

status=0
"$tools/qx318" --simulate measure --plot "$work/profile.png" 2>"$work/plot.err" || status=$?
cat "$work/plot.err"
if [ "$status" -ne 2 ] || ! grep -q "no plot support" "$work/plot.err" || [ -e "$work/profile.png" ]; then
  echo "measure --plot without plot support: status $status" >&2
  exit 1
fi
echo "static tools: linked statically, demo run, --plot refused"
