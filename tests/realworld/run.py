#!/usr/bin/env python3
"""Preprocesses real Fortran projects with `tfpp --fortran` and with `gfortran -cpp`, compiles
every unit of both with `gfortran -fsyntax-only` in module order, and compares.

    tests/realworld/run.py SOURCES [--tfpp build/tfpp] [--work DIR] [--project NAME ...]
                           [--tfpp-option OPTION ...]

SOURCES is the folder holding the fetched projects, each in a folder of its repository's name:
json-fortran (jacobwilliams), netcdf-fortran (Unidata) and FMS (NOAA-GFDL). Not run by the test
suite: it needs the sources and takes minutes. Units needing MPI or the netCDF library find
them when the system has them (Debian: libopenmpi-dev, libnetcdff-dev); without them those
units fail both ways.

A unit is a Fortran source of the project that no other source #includes. Each unit is
preprocessed with the project's own -D and -I set and the compiler's predefined macros
(`gfortran -cpp -dM -E -x f95-cpp-input`, given to tfpp with -imacros), into an output with the
source's extension in lower case (fixed or free form as the source). The outputs are compiled in
the order their `module`/`use` lines give (modules written by one route are used by the same
route only), failed units tried again while that brings more through. The report gives per
project and route the units that compile, the units that compile one way only with the
compiler's first error, and the units whose code tokens differ between the two preprocessors
(comments are left out of that comparison). The exit status is 0 when tfpp compiles every unit
that gfortran -cpp compiles.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

GFORTRAN = "gfortran"
UNIT_EXTENSIONS = (".F90", ".f90", ".F", ".f", ".F95", ".f95", ".F03", ".f03", ".F08", ".f08",
                   ".FOR", ".for", ".FPP", ".fpp")
FIXED_EXTENSIONS = (".f", ".for", ".fpp", ".ftn", ".f77")
SYSTEM_INCLUDES = ["/usr/lib/x86_64-linux-gnu/fortran/gfortran-mod-15/openmpi",
                   "/usr/lib/x86_64-linux-gnu/openmpi/include", "/usr/include"]


def fms_include_dirs(root):
    dirs = ["include", "fms", "constants", "constants4", "field_manager", "test_fms/common"]
    for entry in sorted(os.listdir(root)):
        if os.path.isdir(os.path.join(root, entry, "include")):
            dirs.append(entry + "/include")
    return dirs


NETCDF_DEFINES = ["NCSHORT_T=integer*2", "NCBYTE_T=byte", "NF_RELAX_COORD_BOUND",
                  "NF_HAS_PARALLEL4", "NF_HAS_PNETCDF", "NF_INT1_IS_C_SIGNED_CHAR",
                  "NF_INT2_IS_C_SHORT", "NF_INT_IS_C_INT", "NF_INT8_IS_C_LONG_LONG",
                  "NF_REAL_IS_C_FLOAT", "NF_DOUBLEPRECISION_IS_C_DOUBLE"]

# name -> folder, unit folders, -D set, -I folders (relative to the project), compiler flags
PROJECTS = {
    "json-fortran": dict(folder="json-fortran", units=["src", "test"],
                         defines=["REAL64", "INT32"], includes=["src"], flags=[]),
    "json-fortran-ucs4": dict(folder="json-fortran", units=["src", "test"],
                              defines=["REAL64", "INT32", "USE_UCS4"], includes=["src"],
                              flags=[]),
    "netcdf-fortran": dict(folder="netcdf-fortran",
                           units=["fortran", "nf_test", "nf_test4", "nf03_test", "nf03_test4",
                                  "examples/F77", "examples/F90", "CMakeExtras"],
                           defines=NETCDF_DEFINES, includes=["fortran", "nf_test", "@netcdf.inc"],
                           flags=["-fallow-argument-mismatch"]),
    "FMS": dict(folder="FMS", units=["."], defines=[
        "use_libMPI", "use_netCDF", "HAVE_GETTID", "ENABLE_QUAD_PRECISION", "NO_NC_PARALLEL4",
        "TEST_FMS_KIND_=r8_kind", "TEST_MOS_KIND_=r8_kind", "FMS_TEST_BC_TYPE_=bc",
        "WRITE_FILES_MOD_=write_files_r8"], includes=fms_include_dirs,
        flags=["-fcray-pointer", "-fallow-argument-mismatch", "-ffree-line-length-none",
               "-fdefault-real-8", "-fdefault-double-8"]),
}

INCLUDE_RE = re.compile(r'^\s*#\s*include\s*["<]([^">]+)[">]', re.M)
MODULE_RE = re.compile(r"^\s*module\s+(?!procedure\b|subroutine\b|function\b)(\w+)\s*(?:!.*)?$",
                       re.M | re.I)
SUBMODULE_RE = re.compile(r"^\s*submodule\s*\(\s*(\w+)", re.M | re.I)
USE_RE = re.compile(r"^\s*use(?:\s+|\s*,\s*(?:non_)?intrinsic\s*::\s*|\s*::\s*)(\w+)",
                    re.M | re.I)


def run(cmd, cwd=None):
    proc = subprocess.run(cmd, cwd=cwd, capture_output=True, timeout=600)
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), \
        proc.stderr.decode("utf-8", "replace")


def read(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def find_units(root, folders):
    """Fortran sources under the folders that no source of the project #includes."""
    included = set()
    for dirpath, _, names in os.walk(root):
        for name in names:
            if name.endswith(UNIT_EXTENSIONS) or name.endswith((".inc", ".h", ".fh")):
                for target in INCLUDE_RE.findall(read(os.path.join(dirpath, name))):
                    included.add(os.path.basename(target))
    units = []
    for folder in folders:
        for dirpath, dirs, names in os.walk(os.path.join(root, folder)):
            dirs[:] = [d for d in dirs if d not in ("docs", ".git")]
            for name in names:
                if name.endswith(UNIT_EXTENSIONS) and name not in included:
                    units.append(os.path.relpath(os.path.join(dirpath, name), root))
    return sorted(set(units))


def make_netcdf_inc(root, gen):
    """netcdf.inc as netcdf-fortran's build makes it from its three parts."""
    parts = []
    for label, name in (("NetCDF-3", "netcdf3.inc"), ("NetCDF-4", "netcdf4.inc"),
                        ("NetCDF-2", "netcdf2.inc")):
        parts.append("!     %s.\n" % label + read(os.path.join(root, "fortran", name)))
    os.makedirs(gen, exist_ok=True)
    with open(os.path.join(gen, "netcdf.inc"), "w") as f:
        f.write("\n".join(parts))
    return gen


def tokens(text, fixed):
    """The code tokens of preprocessed text: markers, comment lines and `!` comments left out,
    continuation lines joined to the line they continue (so that a line one route folded and the
    other left long give the same tokens)."""
    statements = []
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        if fixed and line[:1] in ("c", "C", "*", "!"):
            continue
        code, quote = [], None
        for i, ch in enumerate(line):
            if quote:
                if ch == quote:
                    quote = None
            elif ch in "'\"":
                quote = ch
            elif ch == "!" and not (fixed and i == 5):
                break
            code.append(ch)
        code = "".join(code)
        if not code.strip():
            continue  # a blank or comment line continues nothing and ends nothing
        if fixed and len(code) > 5 and code[5] not in " 0" and not code[:5].strip():
            # A continuation line: its text goes on where the line it continues stopped.
            if statements:
                statements[-1] += code[6:]
            continue
        if not fixed and statements and statements[-1].rstrip().endswith("&"):
            rest = code.lstrip()
            statements[-1] = statements[-1].rstrip()[:-1] + (rest[1:] if rest.startswith("&")
                                                             else " " + rest)
            continue
        statements.append(code)
    out = []
    for statement in statements:
        out.extend(re.findall(r"\w+|[^\w\s]", statement))
    return out


def module_order(units, texts):
    """Units ordered so that a module is compiled before its users (as far as known)."""
    provider = {}
    for unit in units:
        for name in MODULE_RE.findall(texts[unit]):
            provider.setdefault(name.lower(), unit)
    needs = {}
    for unit in units:
        used = {u.lower() for u in USE_RE.findall(texts[unit])}
        used |= {u.lower() for u in SUBMODULE_RE.findall(texts[unit])}
        needs[unit] = {provider[u] for u in used if u in provider and provider[u] != unit}
    order, done, visiting = [], set(), set()

    def visit(unit):
        if unit in done or unit in visiting:
            return
        visiting.add(unit)
        for dep in sorted(needs[unit]):
            visit(dep)
        visiting.discard(unit)
        done.add(unit)
        order.append(unit)

    for unit in units:
        visit(unit)
    return order


def first_error(stderr):
    lines = stderr.splitlines()
    for i, line in enumerate(lines):
        if line.startswith(("Error:", "Fatal Error:")) or " Error: " in line:
            where = next((lines[j] for j in range(i, -1, -1) if re.match(r"^\S+:\d+:", lines[j])),
                         "")
            return (where + " " + line).strip()
    return stderr.strip().splitlines()[-1] if stderr.strip() else "(no message)"


def preprocess(route, root, unit, out, defines, includes, predef, tfpp, imacros, options):
    os.makedirs(os.path.dirname(out), exist_ok=True)
    dflags = ["-D" + d for d in defines]
    iflags = ["-I" + i for i in includes]
    src = os.path.join(root, unit)
    if route == "tfpp":
        extra = ["-imacros", predef] if imacros else ["-D" + d for d in predef_defines(predef)]
        cmd = [tfpp, "-nologo", "--fortran"] + options + extra + dflags + iflags + [src, out]
    else:
        cmd = [GFORTRAN, "-cpp", "-E"] + dflags + iflags + [src, "-o", out]
    rc, _, err = run(cmd)
    return rc, err


def predef_defines(predef):
    result = []
    for line in read(predef).splitlines():
        m = re.match(r"#define (\w+)(?: (.*))?$", line)
        if m:
            result.append(m.group(1) + "=" + (m.group(2) or ""))
    return result


def compile_all(order, outputs, flags, includes, mod_dir, src_dirs, pp_failed):
    """Compiles in order; failures are tried again while a round brings more through. A unit
    whose preprocessor failed fails, as in a build."""
    os.makedirs(mod_dir, exist_ok=True)
    status = {unit: (False, "preprocessor failed") for unit in pp_failed}
    pending = [unit for unit in order if unit not in pp_failed]
    while pending:
        failed = []
        for unit in pending:
            cmd = [GFORTRAN, "-fsyntax-only", "-J", mod_dir, "-I", mod_dir] + flags + \
                  ["-I" + src_dirs[unit]] + ["-I" + i for i in includes] + [outputs[unit]]
            rc, _, err = run(cmd, cwd=mod_dir)
            status[unit] = (rc == 0, first_error(err) if rc != 0 else "")
            if rc != 0:
                failed.append(unit)
        if len(failed) == len(pending):
            break
        pending = failed
    return status


def run_project(name, setup, sources, work, tfpp, predef, imacros, options):
    root = os.path.join(sources, setup["folder"])
    if not os.path.isdir(root):
        print("%s: %s not found, skipped" % (name, root))
        return None
    base = os.path.join(work, name)
    shutil.rmtree(base, ignore_errors=True)
    includes = setup["includes"](root) if callable(setup["includes"]) else setup["includes"]
    abs_includes = []
    for inc in includes:
        if inc == "@netcdf.inc":
            abs_includes.append(make_netcdf_inc(root, os.path.join(base, "generated")))
        else:
            abs_includes.append(os.path.join(root, inc))
    compile_includes = abs_includes + [d for d in SYSTEM_INCLUDES if os.path.isdir(d)]
    units = find_units(root, setup["units"])
    results, texts_by_route, pp_failures = {}, {}, {}
    for route in ("tfpp", "gfortran-cpp"):
        outputs, texts, src_dirs = {}, {}, {}
        pp_failures[route] = []
        for unit in units:
            stem, ext = os.path.splitext(unit)
            out = os.path.join(base, route, "pp", stem + ext.lower())
            rc, err = preprocess(route, root, unit, out, setup["defines"], abs_includes,
                                 predef, tfpp, imacros, options)
            if rc != 0:
                pp_failures[route].append((unit, err.strip().splitlines()[-1:] or [""]))
            outputs[unit] = out
            texts[unit] = read(out) if os.path.exists(out) else ""
            src_dirs[unit] = os.path.dirname(os.path.join(root, unit))
        order = module_order(units, texts)
        results[route] = compile_all(order, outputs, setup["flags"], compile_includes,
                                     os.path.join(base, route, "mod"), src_dirs,
                                     {unit for unit, _ in pp_failures[route]})
        texts_by_route[route] = texts
    return units, results, texts_by_route, pp_failures


def report(name, units, results, texts, pp_failures):
    ours, theirs = results["tfpp"], results["gfortran-cpp"]
    ok_ours = {u for u in units if ours[u][0]}
    ok_theirs = {u for u in units if theirs[u][0]}
    print("== %s: %d units; gfortran -cpp %d, tfpp --fortran %d"
          % (name, len(units), len(ok_theirs), len(ok_ours)))
    for route, failures in pp_failures.items():
        if failures:
            print("  %s failed (status not 0) on %d units: %s"
                  % (route, len(failures), ", ".join(unit for unit, _ in failures)))
    for unit in sorted(ok_theirs - ok_ours):
        print("  only gfortran -cpp: %s: %s" % (unit, ours[unit][1][:200]))
    for unit in sorted(ok_ours - ok_theirs):
        print("  only tfpp: %s: %s" % (unit, theirs[unit][1][:200]))
    for unit in sorted(set(units) - ok_ours - ok_theirs):
        print("  neither: %s: %s" % (unit, theirs[unit][1][:200]))
    differ = []
    for unit in units:
        fixed = os.path.splitext(unit)[1].lower() in FIXED_EXTENSIONS
        if tokens(texts["tfpp"][unit], fixed) != tokens(texts["gfortran-cpp"][unit], fixed):
            differ.append(unit)
    print("  code tokens differ in %d units%s" % (len(differ),
          (": " + ", ".join(differ[:12]) + (" ..." if len(differ) > 12 else "")) if differ else ""))
    return ok_theirs - ok_ours


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("sources", help="folder holding json-fortran, netcdf-fortran and FMS")
    parser.add_argument("--tfpp", default=os.path.join(os.path.dirname(__file__), "..", "..",
                                                       "build", "tfpp"))
    parser.add_argument("--work", help="working folder (default: a temporary one, removed)")
    parser.add_argument("--project", action="append", choices=sorted(PROJECTS))
    parser.add_argument("--tfpp-option", action="append", default=[],
                        help="an option for tfpp after --fortran (--no-pragma-once, ...)")
    opts = parser.parse_args()
    if shutil.which(GFORTRAN) is None:
        print("gfortran not found")
        return 2
    tfpp = os.path.abspath(opts.tfpp)
    work = opts.work or tempfile.mkdtemp(prefix="tfpp-realworld-")
    os.makedirs(work, exist_ok=True)
    predef = os.path.join(work, "gfortran-macros.h")
    rc, out, err = run([GFORTRAN, "-cpp", "-dM", "-E", "-x", "f95-cpp-input", "/dev/null"])
    with open(predef, "w") as f:
        f.write(out)
    # -imacros where this tfpp has it, else the same definitions as -D options.
    probe = os.path.join(work, "probe.F90")
    with open(probe, "w") as f:
        f.write("probe __GFORTRAN__\n")
    probe_run = run([tfpp, "-nologo", "-P", "--fortran", "-imacros", predef, probe])
    imacros = "probe 1" in probe_run[1]
    print("compiler macros given to tfpp %s" % ("with -imacros" if imacros else "as -D options"))
    worse = 0
    try:
        for name in opts.project or list(PROJECTS):
            result = run_project(name, PROJECTS[name], os.path.abspath(opts.sources), work, tfpp,
                                 predef, imacros, opts.tfpp_option)
            if result is not None:
                worse += len(report(name, *result))
    finally:
        if not opts.work:
            shutil.rmtree(work, ignore_errors=True)
    return 1 if worse else 0


if __name__ == "__main__":
    sys.exit(main())
