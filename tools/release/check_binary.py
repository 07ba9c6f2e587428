"""The cross-built extension's outside, for tools/release/cross_check.sh:

    python check_binary.py def LIBPYTHON.so NAME OUT.def   # what python3XY.dll exports, from the same version
    python check_binary.py check FILE                      # exports and imports of a .pyd or a Mach-O .so

check: a Windows .pyd must export only the import entry and import only the
Python DLL and Windows' own libraries (no MinGW or C++ runtime DLL); a Mach-O
file must export only the import entry, load only the system's libraries, and
leave only the interpreter's symbols to be looked up when loaded. Exits
non-zero with the reasons."""
import re
import sys

ENTRY = "PyInit_vorna_comfyui_engine"
# Windows' own libraries: the kernel's and the universal C runtime's.
WINDOWS_DLLS = re.compile(r"(kernel32|ntdll|advapi32|bcrypt|ws2_32|user32|api-ms-win-[a-z0-9-]+)\.dll", re.I)
PYTHON_DLL = re.compile(r"python3\d+\.dll", re.I)
MACOS_LIBS = {"/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"}
# What zig's linker and its static libc++ export in any Mach-O image it makes:
# its header symbols and the replaceable operator new/delete. The release
# build (Apple's linker, an exported-symbols list) exports the entry alone.
MACOS_TOOLCHAIN_EXPORTS = re.compile(r"__mh_\w+_header|___dso_handle|__Z(nw|na|dl|da)\w*")
# An undefined symbol bound to no loaded library: the flat-namespace ordinal 0
# or the dynamic-lookup one, resolved from the process (the interpreter).
LOOKUP_ORDINALS = {0, 0xFE}


def write_def(libpython, name, out):
    """A module-definition file naming every symbol libpython exports, data
    marked as such, for zig's dlltool to make the import library from."""
    from elftools.elf.elffile import ELFFile

    with open(libpython, "rb") as f:
        symbols = ELFFile(f).get_section_by_name(".dynsym").iter_symbols()
        rows = sorted({(s.name, s["st_info"]["type"]) for s in symbols
                       if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] == "STB_GLOBAL"
                       and re.match(r"_?Py", s.name)})
    with open(out, "w") as f:
        f.write(f"LIBRARY {name}\nEXPORTS\n")
        f.writelines(f"    {n}{' DATA' if kind == 'STT_OBJECT' else ''}\n" for n, kind in rows)


def check_pe(path):
    import pefile

    pe = pefile.PE(path)
    exports = ([e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols]
               if hasattr(pe, "DIRECTORY_ENTRY_EXPORT") else [])
    dlls = sorted(i.dll.decode() for i in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    python = [d for d in dlls if PYTHON_DLL.fullmatch(d)]
    problems = []
    if exports != [ENTRY]:
        problems.append(f"exports {exports}, expected only {ENTRY}")
    if len(python) != 1:
        problems.append(f"imports {python or 'no'} Python DLL, expected one")
    others = [d for d in dlls if not PYTHON_DLL.fullmatch(d) and not WINDOWS_DLLS.fullmatch(d)]
    if others:
        problems.append(f"imports DLLs beyond Python's and Windows' own: {others}")
    return problems, f"exports only {ENTRY}, imports {', '.join(dlls)}"


def check_macho(path):
    from macholib.mach_o import LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB, N_EXT, N_TYPE, N_UNDF
    from macholib.MachO import MachO
    from macholib.SymbolTable import SymbolTable

    problems, lines = [], []
    for header in MachO(path).headers:
        libs = sorted(data.rstrip(b"\0").decode() for cmd, _, data in header.commands
                      if cmd.cmd in (LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB))
        table = SymbolTable(MachO(path), header)
        exported, lookup = [], []
        for nlist, name in table.nlists:
            name = name.decode()
            if not nlist.n_type & N_EXT:
                continue
            if nlist.n_type & N_TYPE == N_UNDF:
                if (nlist.n_desc >> 8) & 0xFF in LOOKUP_ORDINALS:
                    lookup.append(name)
            elif not MACOS_TOOLCHAIN_EXPORTS.fullmatch(name):
                exported.append(name)
        if exported != ["_" + ENTRY]:
            problems.append(f"exports {exported[:10]}, expected only _{ENTRY}")
        if set(libs) - MACOS_LIBS:
            problems.append(f"loads libraries beyond the system's: {sorted(set(libs) - MACOS_LIBS)}")
        strangers = [n for n in lookup if not re.match(r"__?Py", n)]
        if strangers:
            problems.append(f"leaves symbols other than the interpreter's to be looked up: {strangers[:10]}")
        lines.append(f"exports only {ENTRY}, loads {', '.join(libs)}, {len(lookup)} interpreter symbols looked up")
    return problems, "; ".join(lines)


def main(argv):
    if argv[0] == "def":
        return write_def(*argv[1:])
    path = argv[1]
    with open(path, "rb") as f:
        magic = f.read(4)
    problems, summary = check_pe(path) if magic[:2] == b"MZ" else check_macho(path)
    if problems:
        sys.exit("check_binary: " + path + "\n  " + "\n  ".join(problems))
    print(f"check_binary: {path.rsplit('/', 1)[-1]}: {summary}")


if __name__ == "__main__":
    main(sys.argv[1:])
