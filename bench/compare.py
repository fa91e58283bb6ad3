"""Native modules against plain-Python renderings of the same steps, row by row.

For every row both sides run in the same run, against the same fakes:
  - time per call (min over repeats of a timed batch; informative only, the
    machine is shared and noisy);
  - callgrind instructions per call, (Ir(N) - Ir(0)) / N, deterministic;
  - for 10,000 pending LangGraph approvals on one loop: heap bytes per pending
    approval (PYTHONMALLOC=malloc, so every object is a C-heap block) and CPU
    per approval per poll round, on a virtual clock so nothing really sleeps;
  - import of the four modules (instructions of one import; wall time), guarded
    against Python compiling from source, with the cached-.pyc basis beside it.

    .venv/bin/python bench/compare.py             # full table, timings and instructions
    .venv/bin/python bench/compare.py --guard     # instructions and memory only; exit 1 over a must-threshold
    .venv/bin/python bench/compare.py --profile out.txt   # also the native side's top inclusive costs per row
"""

from __future__ import annotations

import argparse
import compileall
import ctypes
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

# Beside this file: on the path when it runs as a script, and through pytest's
# pythonpath when its tests import it.
import fakes
import rows

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)

# native / Python, per threshold group: (must, aim). Aim is reported, never enforced.
# payload, to_kwargs and pending_poll are set where they were measured (the
# reasons they stand there are in docs/benchmarks.md): payload 0.46-0.55 across
# heap layouts, to_kwargs 0.74, pending_poll 0.89.
THRESHOLDS = {
    "payload": (0.6, 0.3),
    "to_kwargs": (0.8, None),
    "decode": (0.8, 0.4),
    "idempotency": (0.8, None),
    "token": (0.8, None),
    "gate": (0.8, 0.5),
    "pending_memory": (1.0, 0.7),
    "pending_poll": (0.92, None),
    "import": (0.5, None),
}

# Groups whose must-threshold is not met yet. The guard holds each at the ceiling
# given here (a little above the figure measured when it was set), so it cannot
# quietly get worse, and says OVER MUST on every run until the must is met.
# Lower a ceiling when the figure improves; delete the entry once the must holds.
# None today: every group is under its must.
HELD_OVER: dict[str, float] = {}

SIDES = ("native", "python")
# Everything the modules import when loaded, so the import row counts the modules' own load.
DEPENDENCIES = (
    "logging",
    "dataclasses",
    "typing",
    "asyncio",
    "base64",
    "json",
    "os",
    "re",
    "hashlib",
    "time",
    "concurrent.futures",
    "vorel_cloud.client",
    "vorel_cloud.exceptions",
    "vorel_cloud.models",
)


# ---- child processes ---------------------------------------------------------------------


def _prepare(side: str) -> None:
    import importlib

    os.environ.pop("VOREL_API_KEY", None)
    fakes.install_fake_core()
    for name in DEPENDENCIES:
        importlib.import_module(name)
    if side == "python":
        importlib.import_module("reference")


def _import_side(side: str) -> None:
    import importlib

    prefix = "vorel_cloud" if side == "native" else "reference"
    for m in rows.MODULES:
        importlib.import_module(f"{prefix}.{m}")


def child_callgrind(side: str, calls: int, pending: int, keys: list[str]) -> None:
    lib = ctypes.CDLL(os.environ["VOREL_BENCH_CGMARK"])
    lib.cg_end.argtypes = [ctypes.c_char_p]
    import gc

    def region(label, fn):
        gc.collect()
        lib.cg_begin()
        fn()
        lib.cg_end(label.encode())

    _prepare(side)
    region("import", lambda: _import_side(side))
    s = rows.load_side(side)
    for row in rows.PER_CALL_ROWS:
        if keys and row.key not in keys:
            continue
        run = row.make(s)
        run(20)  # warm: lazy imports, caches, first-call set-up
        # region() calls the lambda before the loop moves on, so each sees its own row's run.
        region(f"{row.key}:0", lambda: run(0))  # noqa: B023
        region(f"{row.key}:N", lambda: run(calls))  # noqa: B023
    if pending and (not keys or "pending" in keys):

        def mark(point):
            if point == "pending":
                gc.collect()
                lib.cg_begin()
            elif point == "polled":
                lib.cg_end(b"pending_poll")
                # Nothing after this is measured; the other children check the gates' results.
                sys.stdout.flush()
                os._exit(0)

        rows.pending_approvals(s, pending, mark)


def _pending_marks(side: str, pending: int, read) -> dict:
    """`read()` at each point of one pending-approvals run, by point."""
    _prepare(side)
    _import_side(side)
    marks = {}
    rows.pending_approvals(rows.load_side(side), pending, lambda point: marks.__setitem__(point, read()))
    return marks


def child_memory(side: str, pending: int) -> None:
    marks = _pending_marks(side, pending, rows.heap_bytes)
    print(json.dumps({"bytes": (marks["pending"] - marks["start"]) / pending}))


def child_pending_time(side: str, pending: int) -> None:
    marks = _pending_marks(side, pending, time.process_time)
    print(json.dumps({"us": (marks["polled"] - marks["pending"]) / pending * 1e6}))


def child_check() -> None:
    _prepare("python")
    _import_side("native")
    _import_side("python")
    differing = rows.disagreements(rows.load_side("native"), rows.load_side("python"))
    if differing:
        raise SystemExit(f"bench: the Python rendering no longer matches the native result: {', '.join(differing)}")


def child_import_time(side: str) -> None:
    _prepare(side)
    start = time.perf_counter()
    _import_side(side)
    print(json.dumps({"us": (time.perf_counter() - start) * 1e6}))


def child_timing(calls: int, repeats: int, keys: list[str]) -> None:
    """Both sides in one process, runs interleaved so drift hits both alike; min per side."""
    _prepare("python")
    _import_side("native")
    _import_side("python")
    sides = {name: rows.load_side(name) for name in SIDES}
    out = {}
    for row in rows.PER_CALL_ROWS:
        if keys and row.key not in keys:
            continue
        runs = {name: row.make(sides[name]) for name in SIDES}
        best = {name: float("inf") for name in SIDES}
        for run in runs.values():
            run(max(calls // 10, 1))
        for _ in range(repeats):
            for name, run in runs.items():
                start = time.perf_counter()
                run(calls)
                best[name] = min(best[name], (time.perf_counter() - start) / calls * 1e6)
        out[row.key] = best
    print(json.dumps(out))


# ---- the parent -------------------------------------------------------------------------------


def _child(args: list[str], env: dict | None = None, wrap: list[str] | None = None) -> str:
    cmd = (wrap or []) + [sys.executable, os.path.abspath(__file__)] + args
    proc = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, **(env or {})}, cwd=ROOT)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise SystemExit(f"bench child failed: {' '.join(args)}")
    return proc.stdout


def build_cgmark(workdir: str) -> str:
    out = os.path.join(workdir, "libcgmark.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", out, os.path.join(BENCH_DIR, "cgmark.c")], check=True)
    return out


_TOTALS = re.compile(r"^(?:totals|summary):\s*(\d+)", re.M)
_LABEL = re.compile(r"^desc: Trigger: Client Request: (\S+)", re.M)


def read_dumps(prefix: str) -> dict[str, tuple[int, str]]:
    """label -> (instructions, dump file), from one callgrind run's dump files."""
    found = {}
    for path in glob.glob(prefix + "*"):
        with open(path) as f:
            text = f.read()
        label, total = _LABEL.search(text), _TOTALS.search(text)
        if label and total:
            found[label.group(1)] = (int(total.group(1)), path)
    return found


def no_pyc_env(workdir: str) -> dict:
    """Python compiling the renderings from source at import: an empty bytecode cache, never written."""
    return {"PYTHONPYCACHEPREFIX": os.path.join(workdir, "empty-pycache"), "PYTHONDONTWRITEBYTECODE": "1"}


def run_callgrind(
    side: str,
    workdir: str,
    cgmark: str,
    calls: int,
    pending: int,
    keys: list[str],
    tag: str = "",
    env: dict | None = None,
) -> dict:
    prefix = os.path.join(workdir, f"cg-{side}{tag}")
    wrap = ["valgrind", "--tool=callgrind", "-q", "--instr-atstart=no", f"--callgrind-out-file={prefix}.%p"]
    args = ["--child", "callgrind", "--side", side, "--calls", str(calls), "--pending", str(pending)]
    if keys:
        args += ["--rows", ",".join(keys)]
    _child(args, env={"VOREL_BENCH_CGMARK": cgmark, "PYTHONHASHSEED": "0", **(env or {})}, wrap=wrap)
    return read_dumps(prefix)


def per_call_ir(dumps: dict, key: str, calls: int) -> float | None:
    if f"{key}:N" not in dumps:
        return None
    return (dumps[f"{key}:N"][0] - dumps[f"{key}:0"][0]) / calls


def collect(opts) -> tuple[list[dict], dict]:
    keys = [k for k in (opts.rows or "").split(",") if k]
    _child(["--child", "check"])  # a baseline that does something else would make every ratio meaningless
    compileall.compile_dir(os.path.join(BENCH_DIR, "reference"), quiet=1)
    workdir = tempfile.mkdtemp(prefix="vorel-bench-")
    cgmark = build_cgmark(workdir)
    want_pending = opts.pending > 0 and (not keys or "pending" in keys)
    want_import = not keys or "import" in keys
    with ThreadPoolExecutor(max_workers=2) as pool:
        cg = {s: pool.submit(run_callgrind, s, workdir, cgmark, opts.calls_cg, opts.pending, keys) for s in SIDES}
        if want_import:  # the guarded import basis, so the guard runs it too
            cg["source"] = pool.submit(
                run_callgrind, "python", workdir, cgmark, 0, 0, ["import"], "-source", no_pyc_env(workdir)
            )
        cg = {s: f.result() for s, f in cg.items()}
    memory = {}
    if want_pending:
        for s in SIDES:
            memory[s] = json.loads(
                _child(
                    ["--child", "memory", "--side", s, "--pending", str(opts.pending)],
                    env={"PYTHONMALLOC": "malloc", "PYTHONHASHSEED": "0"},
                )
            )["bytes"]
    timing, import_us, poll_us = {}, {}, {}
    if not opts.guard:
        args = ["--child", "timing", "--calls", str(opts.calls), "--repeats", str(opts.repeats)]
        if keys:
            args += ["--rows", ",".join(keys)]
        timing = json.loads(_child(args))
        for s in SIDES:
            if want_import:
                import_us[s] = min(
                    json.loads(_child(["--child", "import-time", "--side", s]))["us"] for _ in range(opts.repeats)
                )
            if want_pending:
                poll_us[s] = min(
                    json.loads(_child(["--child", "pending-time", "--side", s, "--pending", str(opts.pending)]))["us"]
                    for _ in range(3)
                )
        if want_import:
            import_us["source"] = min(
                json.loads(_child(["--child", "import-time", "--side", "python"], env=no_pyc_env(workdir)))["us"]
                for _ in range(opts.repeats)
            )

    table = import_rows(cg, import_us) if want_import else []
    for row in rows.PER_CALL_ROWS:
        if keys and row.key not in keys:
            continue
        table.append(
            dict(
                key=row.key,
                title=row.title,
                group=row.group,
                time=timing.get(row.key, dict.fromkeys(SIDES)),
                ir={s: per_call_ir(cg[s], row.key, opts.calls_cg) for s in SIDES},
                unit="per call",
            )
        )
    if want_pending:
        table.append(
            dict(
                key="pending_memory",
                title=f"{opts.pending:,} pending LangGraph approvals: heap bytes each",
                group="pending_memory",
                time=dict.fromkeys(SIDES),
                ir=memory,
                unit="bytes",
            )
        )
        table.append(
            dict(
                key="pending_poll",
                title=f"{opts.pending:,} pending LangGraph approvals: CPU per poll",
                group="pending_poll",
                time={s: poll_us.get(s) for s in SIDES},
                ir={s: cg[s]["pending_poll"][0] / opts.pending for s in SIDES},
                unit="per approval",
            )
        )
    return table, {"workdir": workdir, "cg": cg}


def import_rows(cg: dict, import_us: dict) -> list[dict]:
    """The import rows: guarded against Python compiling its renderings from source,
    the basis of the first-import measurement the threshold was set from; the basis
    of an installed package's cached `.pyc` is printed beside it, informational."""
    native_ir, native_us = cg["native"]["import"][0], import_us.get("native")
    return [
        dict(
            key="import",
            title="import of the four modules, Python from source",
            group="import",
            time={"native": native_us, "python": import_us.get("source")},
            ir={"native": native_ir, "python": cg["source"]["import"][0]},
            unit="per import",
        ),
        dict(
            key="import_pyc",
            title="import of the four modules, Python from its .pyc",
            group=None,
            time={"native": native_us, "python": import_us.get("python")},
            ir={"native": native_ir, "python": cg["python"]["import"][0]},
            unit="per import",
        ),
    ]


def _ratio(pair: dict) -> float | None:
    n, p = pair.get("native"), pair.get("python")
    return n / p if n is not None and p else None


def render(table: list[dict], show_time: bool) -> tuple[str, list[str]]:
    def fmt(v, spec):
        text = "-" if v is None else format(v, spec)
        return text.rjust(int(spec.split(".")[0]))

    head = f"{'row':58s}"
    if show_time:
        head += f" {'native us':>10s} {'python us':>10s} {'ratio':>6s}"
    head += f" {'native Ir*':>11s} {'python Ir*':>11s} {'ratio*':>6s} {'must':>5s} {'aim':>5s}  result"
    lines, failures = [head, "-" * len(head)], []
    for r in table:
        must, aim = THRESHOLDS.get(r["group"], (None, None))
        ratio = _ratio(r["ir"])
        line = f"{r['title'][:58]:58s}"
        if show_time:
            line += f" {fmt(r['time']['native'], '10.2f')} {fmt(r['time']['python'], '10.2f')}"
            line += f" {fmt(_ratio(r['time']), '6.2f')}"
        line += f" {fmt(r['ir']['native'], '11.0f')} {fmt(r['ir']['python'], '11.0f')} {fmt(ratio, '6.2f')}"
        line += f" {fmt(must, '5.2f')} {fmt(aim, '5.2f')}  "
        if must is None:
            line += "info"
        elif ratio is None:
            line += "MISSING"
            failures.append(r["key"])
        else:
            held = HELD_OVER.get(r["group"])
            if ratio <= must:
                line += "ok"
            elif held is not None and ratio <= held:
                line += f"OVER MUST (held at {held:.2f})"
            else:
                line += "OVER MUST"
                failures.append(r["key"])
            if aim is not None:
                line += ", aim met" if ratio <= aim else ", aim not met"
        lines.append(line)
    lines.append("* instructions per call (callgrind, (Ir(N) - Ir(0)) / N); for the pending-memory row, heap bytes")
    lines.append("  per pending approval (PYTHONMALLOC=malloc); ratios are native / Python.")
    return "\n".join(lines), failures


_PATH_NOISE = re.compile(r"/tmp/python-build[^:]*/Python-3\.\d+\.\d+/|/work/wt/[^/]+/|\s\[[^\]]*\]$")


def _annotate(dump: str, inclusive: bool, top: int) -> list[str]:
    """callgrind_annotate's function list, paths shortened, one line per function."""
    ann = subprocess.run(
        ["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", "--auto=no", dump],
        capture_output=True,
        text=True,
    ).stdout.splitlines()
    start = next((i for i, line in enumerate(ann) if "file:function" in line), len(ann)) + 2
    seen, out = set(), []
    for line in ann[start:]:
        if not line.strip():
            break
        short = _PATH_NOISE.sub("", line.rstrip())
        name = short.split(None, 2)[-1]
        if name in seen:  # the same function listed once per object file and once per source file
            continue
        seen.add(name)
        out.append(short)
        if len(out) == top:
            break
    return out


def write_profile(path: str, table: list[dict], cg: dict, calls: int, pending: int) -> None:
    with open(path, "w") as out:
        out.write("Native side: top inclusive and self instruction costs per row (callgrind_annotate).\n")
        out.write(f"Per-call rows: one batch of {calls} calls (divide by {calls}); import: one import;\n")
        out.write(f"pending poll: one poll round of {pending} pending approvals.\n\n")
        for r in table:
            label = {"import": "import", "pending_poll": "pending_poll"}.get(r["key"], f"{r['key']}:N")
            if r["key"] in ("pending_memory", "import_pyc") or label not in cg["native"]:
                continue
            dump = cg["native"][label][1]
            out.write(f"==== {r['title']}  (native {r['ir']['native']:.0f} / Python {r['ir']['python']:.0f} Ir)\n")
            out.write("-- inclusive\n" + "\n".join(_annotate(dump, True, 30)) + "\n")
            out.write("-- self\n" + "\n".join(_annotate(dump, False, 15)) + "\n\n")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--calls", type=int, default=5000, help="calls per timed batch")
    p.add_argument("--calls-cg", type=int, default=300, help="calls per callgrind batch")
    p.add_argument("--repeats", type=int, default=7)
    p.add_argument("--pending", type=int, default=10000, help="pending approvals on one loop (0: skip)")
    p.add_argument("--rows", help="comma-separated row keys (import, pending, or a per-call row)")
    p.add_argument("--guard", action="store_true", help="instructions and memory only; exit 1 over a must-threshold")
    p.add_argument("--profile", help="write the native side's top inclusive costs per row to this file")
    p.add_argument(
        "--child",
        choices=["callgrind", "memory", "pending-time", "import-time", "timing", "check"],
        help=argparse.SUPPRESS,
    )
    p.add_argument("--side", choices=SIDES, help=argparse.SUPPRESS)
    opts = p.parse_args()

    keys = [k for k in (opts.rows or "").split(",") if k]
    if opts.child == "callgrind":
        return child_callgrind(opts.side, opts.calls, opts.pending, keys)
    if opts.child == "memory":
        return child_memory(opts.side, opts.pending)
    if opts.child == "pending-time":
        return child_pending_time(opts.side, opts.pending)
    if opts.child == "import-time":
        return child_import_time(opts.side)
    if opts.child == "check":
        return child_check()
    if opts.child == "timing":
        return child_timing(opts.calls, opts.repeats, keys)

    if shutil.which("valgrind") is None:
        raise SystemExit("bench: valgrind is required (scripts/install-system-deps.sh installs it)")
    started = time.monotonic()
    table, raw = collect(opts)
    text, failures = render(table, show_time=not opts.guard)
    print(text)
    if opts.profile:
        write_profile(opts.profile, table, raw["cg"], opts.calls_cg, opts.pending)
        print(f"profile: {opts.profile}")
    shutil.rmtree(raw["workdir"], ignore_errors=True)
    print(f"({time.monotonic() - started:.0f} s)")
    if opts.guard and failures:
        print(f"perf guard: over the must-threshold: {', '.join(failures)}", file=sys.stderr)
        raise SystemExit(1)


if __name__ == "__main__":
    main()
