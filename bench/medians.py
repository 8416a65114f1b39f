"""Reads a Google Benchmark JSON report (made with --benchmark_repetitions
and --benchmark_report_aggregates_only) for the ratio scripts in bench/."""
import json
import sys


def load(path, who):
    """The median of each benchmark, by name; a benchmark that reported an
    error ends the script with it."""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    medians = {}
    for r in runs:
        name = r["run_name"].split("/")[0]
        if r.get("aggregate_name", "median") != "median" or name in medians:
            continue
        if "error_message" in r:
            sys.exit(f"{who}: {name}: {r['error_message']}")
        medians[name] = r
    return lambda name: medians.get(name) or sys.exit(f"{who}: no result for {name}")
