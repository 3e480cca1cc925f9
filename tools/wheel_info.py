"""What tools/wheels.sh checks in the files it makes, beyond auditwheel and
check-wheel-contents:

  python tools/wheel_info.py pyconfig X86_PYCONFIG DEST
      writes DEST, the x86_64 Linux pyconfig.h made fit for aarch64 Linux
  python tools/wheel_info.py check WHEEL ARCH VERSION
      the wheel is for CPython VERSION on ARCH: its tags, and each extension
      module's suffix and ELF machine; no sources in it, nothing grafted, no
      library needed but glibc's, no debug information
  python tools/wheel_info.py sdist SDIST
      the sdist holds what a source build needs: every source file that
      CMakeLists.txt names, the build configuration and the license

Exits 1 with what is wrong (one line each) when a check fails.
"""

import re
import sys
import tarfile
import zipfile

MODULES = ("decorator", "_native")
# ELF e_machine of each architecture the wheels are built for.
MACHINES = {"x86_64": 62, "aarch64": 183}
# How Debian's pyconfig.h for aarch64 differs from its x86_64 one (3.11,
# compared): aarch64 has no x87 or x64 inline assembler (the interpreter's
# own float code uses it), and its wchar_t is unsigned, which makes it
# "usable" (Python.h then includes <wchar.h>, as it does anyway); they agree
# on everything else (sizes, alignment, glibc's functions) but the support
# tier, which no header reads. The aarch64 wheels' tests under emulation
# confirm the headers made so.
X86_ONLY = ("HAVE_GCC_ASM_FOR_X64", "HAVE_GCC_ASM_FOR_X87")
AARCH64_ONLY = ("HAVE_USABLE_WCHAR_T",)


def pyconfig_for_aarch64(text):
    """The x86_64 pyconfig.h TEXT made fit for aarch64. Raises ValueError if
    it has an x86 setting that is not known here (a newer interpreter's)."""
    lines = []
    for line in text.splitlines(keepends=True):
        match = re.match(r"#define (\w+)\b", line)
        undefined = re.match(r"/\* #undef (\w+) \*/$", line.strip())
        if match and match.group(1) in X86_ONLY:
            line = "/* #undef %s (x86 only) */\n" % match.group(1)
        elif undefined and undefined.group(1) in AARCH64_ONLY:
            line = "#define %s 1\n" % undefined.group(1)
        elif match and re.search(r"X86|X64|X87|I386|AMD64", match.group(1)):
            raise ValueError("pyconfig.h defines %s, an x86 setting this script does not know: "
                             "decide whether aarch64 has it and add it to X86_ONLY or keep it" % match.group(1))
        lines.append(line)
    return "".join(lines)


def elf_machine(data):
    """e_machine of a 64-bit little-endian ELF file's first bytes, or None."""
    if len(data) < 20 or data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        return None
    return int.from_bytes(data[18:20], "little")


def wheel_problems(name, members, arch, version):
    """What is wrong with a wheel called NAME whose members are MEMBERS
    ({path: bytes}) for CPython VERSION ("3.X") on ARCH."""
    problems = []
    nodot = version.replace(".", "")
    tag = "cp%s-cp%s-" % (nodot, nodot)
    if tag not in name or not name.endswith("_%s.whl" % arch):
        problems.append("%s is not tagged %s...%s" % (name, tag, arch))
    suffix = ".cpython-%s-%s-linux-gnu.so" % (nodot, arch)
    found = {}
    for path, data in members.items():
        if path.endswith(".so"):
            module = path.rsplit("/", 1)[-1].split(".", 1)[0]
            found[module] = path
            if not path.startswith("orvex/abstract/") or not path.endswith(suffix):
                problems.append("%s: expected orvex/abstract/%s%s" % (path, module, suffix))
            machine = elf_machine(data)
            if machine != MACHINES[arch]:
                problems.append("%s: ELF machine %s, not %s (%s)" % (path, machine, MACHINES[arch], arch))
        elif path.endswith((".cpp", ".hpp", "CMakeLists.txt")):
            problems.append("%s: a source file in the wheel" % path)
        elif ".libs/" in path:
            problems.append("%s: a library grafted in (the wheel should need none)" % path)
        elif path.endswith(".dist-info/WHEEL"):
            text = data.decode("utf-8")
            tags = re.findall(r"^Tag: (\S+)$", text, re.M)
            if not tags or any(not t.startswith(tag) or not t.endswith("_" + arch) for t in tags):
                problems.append("WHEEL tags %s are not all %s..._%s" % (tags, tag, arch))
            if "Root-Is-Purelib: false" not in text:
                problems.append("WHEEL does not say Root-Is-Purelib: false")
    missing = [m for m in MODULES if m not in found]
    if missing:
        problems.append("no module %s in the wheel" % ", ".join(missing))
    return problems


def needed_problems(members):
    """Shared libraries the modules need beyond glibc's, and debug
    information left in them (needs pyelftools, which auditwheel brings;
    none when it is missing)."""
    try:
        import io

        from elftools.elf.elffile import ELFFile
    except ImportError:
        return []
    problems = []
    for path, data in members.items():
        if path.endswith(".so"):
            elf = ELFFile(io.BytesIO(data))
            if any(section.name.startswith(".debug") for section in elf.iter_sections()):
                problems.append("%s has debug information" % path)
            dynamic = elf.get_section_by_name(".dynamic")
            for entry in dynamic.iter_tags() if dynamic else ():
                if entry.entry.d_tag == "DT_NEEDED" and not re.match(
                        r"(libc|libm|libpthread|libdl|librt|ld-linux[-\w]*)\.so", entry.needed):
                    problems.append("%s needs %s" % (path, entry.needed))
    return problems


def sources_named(cmake_text):
    """The source files that CMakeLists.txt names, relative to the root."""
    base = re.search(r"set\(src (\S+)\)", cmake_text).group(1)
    return sorted(set(p.replace("${src}", base) for p in re.findall(r"\$\{src\}/\S+\.cpp", cmake_text)))


def sdist_problems(names, cmake_text):
    top = names[0].split("/", 1)[0] if names else ""
    have = {n.split("/", 1)[1] for n in names if "/" in n}
    wanted = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
              "src/orvex/abstract/__init__.py", "src/orvex/abstract/compat.hpp"] + sources_named(cmake_text)
    return ["%s: no %s" % (top, w) for w in wanted if w not in have]


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "pyconfig" and len(argv) == 4:
        with open(argv[2], encoding="utf-8") as f:
            text = pyconfig_for_aarch64(f.read())
        with open(argv[3], "w", encoding="utf-8") as f:
            f.write(text)
        return 0
    if command == "check" and len(argv) == 5:
        with zipfile.ZipFile(argv[2]) as z:
            members = {n: z.read(n) for n in z.namelist()}
        problems = wheel_problems(argv[2].rsplit("/", 1)[-1], members, argv[3], argv[4]) + needed_problems(members)
    elif command == "sdist" and len(argv) == 3:
        with tarfile.open(argv[2]) as t:
            names = t.getnames()
            try:
                cmake = t.extractfile(names[0].split("/", 1)[0] + "/CMakeLists.txt").read().decode("utf-8")
            except (IndexError, KeyError, AttributeError):
                cmake = ""
            problems = sdist_problems(names, cmake) if cmake else ["%s: no CMakeLists.txt" % argv[2]]
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
