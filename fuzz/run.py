"""Runs one module's fuzz target under libFuzzer (atheris) and records what the run reached.

    python fuzz/run.py MODULE [--seconds N] [--timeout S]

The target is ``fuzz/targets/MODULE.py`` (its ``one_input(data: bytes)`` raises only on a finding).
The run starts from the committed corpus ``fuzz/corpus/MODULE/`` in a working copy under
``fuzz/out/work/``, stops after N seconds or at the first finding (an exception from the target,
a sanitizer report, a deadly signal, an input running longer than S seconds, memory beyond
--rss-limit-mb), then

- copies each finding's input into ``fuzz/regressions/MODULE/`` (tests/test_fuzz_regressions.py
  replays them all; libFuzzer's own artefact stays in ``fuzz/out/artifacts/MODULE/``),
- after a clean run, merges the working corpus into the smallest set of inputs with the same
  coverage (libFuzzer's -merge=1; edges without hit counts, which keeps the set small) and writes
  it back to ``fuzz/corpus/MODULE/``,
- writes ``fuzz/out/MODULE.json`` (executions, executions per second, libFuzzer's cov/ft, corpus
  size, findings) and the run's whole log to ``fuzz/out/MODULE.log``.

``fuzz/report.py`` turns the JSON files into a Markdown table. The exit status is 1 on a finding.

The native modules are expected to be built with VORNHAVEN_FUZZ=ON (tools/fuzz.sh): ASan and
libFuzzer's runtime then come from atheris' asan_with_fuzzer.so, which this script preloads into
the process it starts (``--child``, which calls into libFuzzer; libFuzzer's -merge re-runs it
through the small wrapper script written next to the log).
"""

import argparse
import importlib
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import time
from pathlib import Path

FUZZ = Path(__file__).resolve().parent
ROOT = FUZZ.parent
OUT = FUZZ / "out"
MODULES = ["shapekit", "fracwindow", "fracborder", "fracmiddle", "bandmixer", "pickweighted"]
MAX_LEN = 2048  # bytes per input: plenty for the targets' draws, and keeps the corpus small
SEARCH_PATH = [FUZZ, ROOT / "tests", ROOT / "tests" / "augmentations"]  # input builders, reference steps
INSTRUMENTED = ["common", "transform_inputs", "numpy_steps", "bandmixer_steps", "vornhaven"]
FINDING_PREFIXES = ("crash-", "timeout-", "oom-", "leak-")


def _paths(module):
    return {
        "target": FUZZ / "targets" / f"{module}.py",
        "corpus": FUZZ / "corpus" / module,
        "regressions": FUZZ / "regressions" / module,
        "work": OUT / "work" / module,
        "merged": OUT / "merged" / module,
        "artifacts": OUT / "artifacts" / module,
        "log": OUT / f"{module}.log",
        "json": OUT / f"{module}.json",
        "wrapper": OUT / f"run-{module}.sh",
    }


def _preload():
    """atheris' ASan + libFuzzer runtime for the instrumented native modules."""
    import atheris  # noqa: F401 - only to find its files

    library = Path(atheris.path()) / "asan_with_fuzzer.so"
    if not library.exists():
        sys.exit(f"fuzz/run.py: {library} is missing (atheris installed without its sanitizer runtimes)")
    return str(library)


def _environment():
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [_preload(), env.get("LD_PRELOAD", "")]))
    # Python's own allocations are never freed at exit: no leak checks. Errors abort, so libFuzzer
    # sees a deadly signal and keeps the input.
    env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:handle_abort=1:" \
                          "symbolize=1:detect_stack_use_after_return=0" + \
                          (":" + env["ASAN_OPTIONS"] if env.get("ASAN_OPTIONS") else "")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [*map(str, SEARCH_PATH), env.get("PYTHONPATH", "")]))
    env.setdefault("PYTHONHASHSEED", "0")
    return env


def _child_command(module):
    return [sys.executable, str(Path(__file__).resolve()), "--child", module]


def _write_wrapper(path, module):
    """libFuzzer re-runs argv[0] for -merge: a script that is this child."""
    path.write_text("#!/bin/sh\nexec " + " ".join(f"'{part}'" for part in _child_command(module)) + ' "$@"\n')
    path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def child(module, libfuzzer_args):
    """Runs inside the preloaded process: imports the target instrumented and starts libFuzzer."""
    import atheris

    sys.path[:0] = [str(FUZZ / "targets"), *map(str, SEARCH_PATH)]
    import common

    common.quiet()
    # The target's own Python code and the input builders and reference steps it imports guide the
    # search too (a target's own instrument_imports() inside this one changes nothing).
    with atheris.instrument_imports(include=[module, *INSTRUMENTED]):
        target = importlib.import_module(module)
    wrapper = str(_paths(module)["wrapper"])
    atheris.Setup([wrapper, *libfuzzer_args], target.one_input)
    atheris.Fuzz()


def _files(directory):
    return sorted(p for p in directory.iterdir() if p.is_file()) if directory.exists() else []


def _run_libfuzzer(module, args, log, echo):
    """Runs the child with libFuzzer's arguments; returns its exit status and output."""
    env = _environment()
    with open(log, "a") as sink:
        process = subprocess.Popen(_child_command(module) + args, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, errors="replace", cwd=ROOT)
        lines = []
        for line in process.stdout:
            sink.write(line)
            lines.append(line)
            if echo(line):
                sys.stderr.write(f"  [{module}] {line}")
        return process.wait(), "".join(lines)


def _stats(output):
    stats = {}
    for key, value in re.findall(r"^stat::(\w+):\s*(\d+)", output, re.M):
        stats[key] = int(value)
    progress = re.findall(r"^#(\d+)\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)/(\S+)", output, re.M)
    if progress:
        runs, cov, ft, corp, _ = progress[-1]
        stats.update(last_runs=int(runs), cov=int(cov), ft=int(ft), corp=int(corp))
    return stats


def _interesting(line):
    """The lines worth showing while a run goes: its end, and what a finding prints."""
    return bool(re.match(r"(#\d+\s+DONE|==\d+==|SUMMARY|ERROR|=== Uncaught|Traceback|\w*Error|  File |"
                         r"artifact_prefix|Test unit written|MERGE-OUTER: \d+ new|.*ALARM|.*-timeout|"
                         r"INFO: Running with entropic|stat::)", line))


def fuzz(module, seconds, timeout, rss_limit_mb, keep_corpus):
    paths = _paths(module)
    paths["json"].unlink(missing_ok=True)  # the report shows this run's modules only
    if not paths["target"].exists():
        print(f"fuzz {module}: skipped, {paths['target'].relative_to(ROOT)} does not exist", flush=True)
        return None
    OUT.mkdir(exist_ok=True)
    for key in ("work", "merged"):
        shutil.rmtree(paths[key], ignore_errors=True)
    paths["work"].mkdir(parents=True)
    paths["artifacts"].mkdir(parents=True, exist_ok=True)
    paths["log"].write_text("")
    _write_wrapper(paths["wrapper"], module)
    for seed in _files(paths["corpus"]):
        shutil.copy(seed, paths["work"] / seed.name)
    before = set(p.name for p in _files(paths["artifacts"]))
    print(f"fuzz {module}: {seconds} s from {len(_files(paths['corpus']))} corpus inputs", flush=True)
    started = time.monotonic()
    status, output = _run_libfuzzer(module, [
        str(paths["work"]), f"-max_total_time={seconds}", f"-timeout={timeout}", f"-rss_limit_mb={rss_limit_mb}",
        f"-max_len={MAX_LEN}", f"-artifact_prefix={paths['artifacts']}/", "-print_final_stats=1",
    ], paths["log"], _interesting)
    elapsed = time.monotonic() - started
    stats = _stats(output)
    findings = []
    for artifact in _files(paths["artifacts"]):
        if artifact.name not in before and artifact.name.startswith(FINDING_PREFIXES):
            paths["regressions"].mkdir(parents=True, exist_ok=True)
            shutil.copy(artifact, paths["regressions"] / artifact.name)
            findings.append(str((paths["regressions"] / artifact.name).relative_to(ROOT)))
    if status != 0 and not findings:  # died without an artefact (e.g. the target failed to import)
        findings.append(f"exit status {status} without an input, see {paths['log'].relative_to(ROOT)}")
    corpus_note = "kept"
    if not findings and keep_corpus:
        paths["merged"].mkdir(parents=True)
        merge_status, merge_output = _run_libfuzzer(module, [
            "-merge=1", "-use_counters=0", f"-timeout={timeout}", f"-rss_limit_mb={rss_limit_mb}", f"-max_len={MAX_LEN}",
            f"-artifact_prefix={paths['artifacts']}/", str(paths["merged"]), str(paths["work"])],
            paths["log"], lambda line: line.startswith("MERGE-OUTER: ") and " new files" in line)
        merged = _files(paths["merged"])
        if merge_status == 0 and merged:
            shutil.rmtree(paths["corpus"], ignore_errors=True)
            shutil.copytree(paths["merged"], paths["corpus"])
            corpus_note = "merged"
        else:
            corpus_note = f"kept (merge exit status {merge_status})"
    corpus = _files(paths["corpus"])
    summary = {
        "module": module,
        "seconds": seconds,
        "elapsed": round(elapsed, 1),
        "executions": stats.get("number_of_executed_units", stats.get("last_runs", 0)),
        "exec_per_sec": stats.get("average_exec_per_sec", 0),
        "cov": stats.get("cov"),
        "ft": stats.get("ft"),
        "peak_rss_mb": stats.get("peak_rss_mb"),
        "corpus_files": len(corpus),
        "corpus_bytes": sum(p.stat().st_size for p in corpus),
        "corpus": corpus_note,
        "findings": findings,
    }
    paths["json"].write_text(json.dumps(summary, indent=1) + "\n")
    print(f"fuzz {module}: {summary['executions']} executions ({summary['exec_per_sec']}/s), cov {summary['cov']} "
          f"ft {summary['ft']}, corpus {summary['corpus_files']} files, "
          + (f"FINDINGS: {', '.join(findings)}" if findings else "no findings"), flush=True)
    return summary


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        return child(sys.argv[2], sys.argv[3:])
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("modules", nargs="*", default=MODULES, help=f"modules to fuzz (default all: {MODULES})")
    parser.add_argument("--seconds", type=int, default=int(os.environ.get("FUZZ_SECONDS", 60)),
                        help="seconds per module (default $FUZZ_SECONDS or 60)")
    parser.add_argument("--timeout", type=int, default=30, help="seconds one input may run before it is a hang")
    parser.add_argument("--rss-limit-mb", type=int, default=6144)
    parser.add_argument("--no-corpus-update", dest="keep_corpus", action="store_false",
                        help="leave fuzz/corpus/ as it is (no merge)")
    args = parser.parse_args()
    unknown = set(args.modules) - set(MODULES)
    if unknown:
        parser.error(f"unknown modules {sorted(unknown)}")
    failed = False
    for module in args.modules:
        summary = fuzz(module, args.seconds, args.timeout, args.rss_limit_mb, args.keep_corpus)
        failed |= bool(summary and summary["findings"])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
