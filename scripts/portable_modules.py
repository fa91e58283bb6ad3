"""Put extension modules compiled elsewhere into a built wheel.

    python scripts/portable_modules.py WHEEL MODULE.so... --out DIR

The wheel's modules are replaced by the given files of the same names (every
module of the wheel must be given, and nothing else), its RECORD is written
anew, and the result goes to DIR under the wheel's own file name. Used by
scripts/wheel-smoke.sh for interpreters whose own toolchain needs a newer C
library than the wheel may ask for: the build backend makes the wheel there,
this machine's compiler makes the modules.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import sys
import zipfile
from pathlib import Path, PurePosixPath


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def replace_modules(wheel: Path, modules: list[Path], out: Path) -> Path:
    given = {m.name: m for m in modules}
    if len(given) != len(modules):
        raise SystemExit("portable-modules: two modules of the same name given")
    with zipfile.ZipFile(wheel) as src:
        names = src.namelist()
        in_wheel = {PurePosixPath(n).name: n for n in names if n.endswith(".so")}
        if set(in_wheel) != set(given):
            raise SystemExit(
                f"portable-modules: the wheel's modules {sorted(in_wheel)} are not the ones given {sorted(given)}"
            )
        records = [n for n in names if n.endswith(".dist-info/RECORD")]
        if len(records) != 1:
            raise SystemExit(f"portable-modules: {wheel.name} has {len(records)} RECORD files")
        record = records[0]
        out.mkdir(parents=True, exist_ok=True)
        target = out / wheel.name
        lines = []
        with zipfile.ZipFile(target, "w", compression=zipfile.ZIP_DEFLATED) as dst:
            for info in src.infolist():
                if info.filename == record:
                    continue
                base = PurePosixPath(info.filename).name
                data = given[base].read_bytes() if info.filename.endswith(".so") else src.read(info)
                dst.writestr(info, data)
                lines.append(record_line(info.filename, data))
            lines.append(f"{record},,")
            dst.writestr(src.getinfo(record), "\n".join(lines) + "\n")
    return target


def main(argv: list[str]) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("wheel", type=Path)
    p.add_argument("modules", type=Path, nargs="+")
    p.add_argument("--out", type=Path, required=True)
    args = p.parse_args(argv)
    print(replace_modules(args.wheel, args.modules, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
