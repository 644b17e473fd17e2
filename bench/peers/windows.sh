#!/bin/bash
# The Windows program's rows of the side-by-side table: bench/winprog/run.sh on the
# Windows test bed (about seven minutes with the default one-minute CPU windows).
exec "$(cd "$(dirname "$0")/../.." && pwd)/bench/winprog/run.sh" "$@"
