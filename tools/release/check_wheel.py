"""Checks a release wheel: python check_wheel.py WHEEL PLATFORM_TAG AUDITWHEEL.

The shared object inside must be built for the tag's machine, export only
the import entry, need no library beyond glibc's own, and use no glibc
symbol newer than the platform tag's;
auditwheel must agree with the tag. Exits non-zero with the reasons."""
import re
import subprocess
import sys
import tempfile
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

# glibc's own files; libpthread is a separate file of glibc before 2.34.
GLIBC_FILES = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "ld-linux-x86-64.so.2",
               "ld-linux-aarch64.so.1"}
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
ENTRY = "PyInit_vorna_comfyui_engine"


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def check_elf(data, glibc_max, arch):
    with tempfile.TemporaryFile() as f:
        f.write(data)
        f.seek(0)
        elf = ELFFile(f)
        machine = elf["e_machine"]
        dynamic = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
        needed = {t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED"}
        dynsym = elf.get_section_by_name(".dynsym")
        exported = {s.name for s in dynsym.iter_symbols()
                    if s.name and s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL"}
        glibc = set()
        for section in elf.iter_sections():
            if isinstance(section, GNUVerNeedSection):
                for _, auxiliaries in section.iter_versions():
                    glibc.update(a.name for a in auxiliaries if a.name.startswith("GLIBC_"))
    problems = []
    if machine != MACHINES[arch]:
        problems.append(f"built for {machine}, not {arch}")
    if exported != {ENTRY}:
        problems.append(f"exports {sorted(exported)}, expected only {ENTRY}")
    if needed - GLIBC_FILES:
        problems.append(f"needs libraries beyond glibc: {sorted(needed - GLIBC_FILES)}")
    newest = max((version_tuple(v[len("GLIBC_"):]) for v in glibc if re.fullmatch(r"GLIBC_[0-9.]+", v)),
                 default=(0,))
    if newest > glibc_max:
        problems.append(f"uses glibc {'.'.join(map(str, newest))}, newer than {'.'.join(map(str, glibc_max))}")
    return problems, sorted(needed), newest


def main(wheel, plat, auditwheel):
    tag = re.match(r"manylinux_(\d+)_(\d+)_(.+)", plat)
    glibc_max, arch = version_tuple(tag.expand(r"\1.\2")), tag.group(3)
    problems = []
    if plat not in wheel.rsplit("-", 1)[-1].removesuffix(".whl").split("."):
        problems.append(f"file name lacks the tag {plat}")
    with zipfile.ZipFile(wheel) as z:
        objects = [n for n in z.namelist() if n.endswith(".so")]
        if len(objects) != 1 or "/" in objects[0]:
            problems.append(f"expected one shared object at the top, found {objects}")
        else:
            found, needed, newest = check_elf(z.read(objects[0]), glibc_max, arch)
            problems += found
    shown = subprocess.run([auditwheel, "show", wheel], capture_output=True, text=True)
    text = " ".join(shown.stdout.split())
    if shown.returncode != 0 or f'consistent with the following platform tag: "{plat}"' not in text:
        problems.append(f"auditwheel show does not confirm {plat}: {shown.stdout}{shown.stderr}")
    if "requires additional external" in text or "external shared libraries are required" in text:
        problems.append(f"auditwheel reports external libraries: {shown.stdout}")
    if problems:
        sys.exit("check_wheel: " + wheel + "\n  " + "\n  ".join(problems))
    print(f"check_wheel: {wheel.rsplit('/', 1)[-1]}: exports only {ENTRY}, needs {', '.join(needed)}, "
          f"glibc symbols up to {'.'.join(map(str, newest))}, auditwheel: {plat}")


if __name__ == "__main__":
    main(*sys.argv[1:])
