"""Turns the last fuzz runs (fuzz/out/<module>.json, written by fuzz/run.py) into a Markdown table.

    python fuzz/report.py [--out fuzz/out/summary.md]

Prints the table and writes it to --out. ``cov`` and ``ft`` are libFuzzer's own counts at the end
of the run: coverage edges and features (edge hit-count buckets and the like) reached by the
corpus, over the instrumented native modules and the instrumented Python code of the target.
"""

import argparse
import json
from pathlib import Path

from run import MODULES, OUT


def table(summaries):
    lines = [
        "| module | seconds | executions | executions/s | cov (edges) | ft (features) | corpus files (KiB) | findings |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for s in summaries:
        findings = "<br>".join(s["findings"]) if s["findings"] else "none"
        lines.append(f"| {s['module']} | {s['seconds']} | {s['executions']:,} | {s['exec_per_sec']:,} | {s['cov']} "
                     f"| {s['ft']} | {s['corpus_files']} ({s['corpus_bytes'] / 1024:.1f}) | {findings} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=OUT / "summary.md")
    args = parser.parse_args()
    summaries = [json.loads((OUT / f"{m}.json").read_text()) for m in MODULES if (OUT / f"{m}.json").exists()]
    missing = [m for m in MODULES if not (OUT / f"{m}.json").exists()]
    text = table(summaries)
    if missing:
        text += f"\nNot run: {', '.join(missing)}.\n"
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text)
    print(text, end="")
    return 1 if any(s["findings"] for s in summaries) else 0


if __name__ == "__main__":
    raise SystemExit(main())
