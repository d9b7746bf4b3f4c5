#!/usr/bin/env bash
# The command line on a temporary directory store: record, list, verify,
# show, data shapes, overlap and a reuse decision, then a tampered receipt.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
run() { echo "\$ $*" >&2; "$@"; }

run tessary record etl.prepare --payload '{"source": "events.csv"}' --trace nightly-42 --store store > prepare.json
run tessary record etl.sample --payload '{"sample": 0.05}' --trace nightly-42 --parent "$(python3 -c 'import json,sys; print(json.load(open("prepare.json"))["rid"])')" --store store > sample.json
run tessary ls --store store --trace nightly-42
tessary ls --store store > listed.jsonl
run tessary verify listed.jsonl
run tessary show sample.json
head -c 3000000 /dev/urandom > v1.bin
{ head -c 1500000 v1.bin; echo "a few new rows"; tail -c +1500001 v1.bin; } > v2.bin
run tessary shape v1.bin v2.bin
run tessary jaccard v1.bin v2.bin
echo '{"c_id": 5, "c_comp": {"type": "linear", "per_row": 0.01, "base": 20}, "alpha": 0.9}' > model.json
run tessary reuse --overlap "$(tessary jaccard v1.bin v2.bin)" --cost-model model.json --rows 10000
sed -i 's/nightly-42/nightly-43/' sample.json
echo "\$ tessary verify sample.json   # after editing the trace: exits 1"
tessary verify sample.json || echo "(exit code $?)"
