#!/usr/bin/env python3
"""The release package checked as a subscriber meets it, inside the Windows test bed
with a fresh Wine prefix and the account-server fixture (tests/package/run.sh).

    check_package.py PACKAGE_DIR PROBE_EXE WORK_DIR

Prints one "ok"/"FAIL" line per group of checks and exits 1 when any failed."""
import os
import re
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PKG, PROBE, WORK = sys.argv[1:4]
PREFIX = os.environ["WINEPREFIX"]
VERSION = re.search(r"project\(Quillon VERSION ([0-9.]+)", open(os.path.join(ROOT, "CMakeLists.txt")).read()).group(1)
NAME = "Korvani-" + VERSION
SETUP = os.path.join(PKG, NAME + "-setup.exe")
PORTABLE = os.path.join(PKG, NAME + "-portable.zip")
SYMBOLS = os.path.join(PKG, NAME + "-symbols.zip")
BINARIES = ["Quillon.exe", "callctl.dll", "SkinFeature.dll"]
SETTINGS = ["Login.xml", "Audio.xml", "Call.xml"]
UNINST_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvani"
PRODUCT = "Korvani网络电话"
SHORTCUT = PRODUCT + ".lnk"
UNINSTALL_SHORTCUT = "卸载 " + PRODUCT + ".lnk"
# The account server the package was built for (scripts/package --server).
SERVER = os.environ["QUILLON_PACKAGE_SERVER"]
EXIT_RUNNING = 3

failures = []


def check(what, problems):
    """One group of checks: `problems` lists what was wrong (empty: all held)."""
    problems = [p for p in problems if p]
    print(("ok    " if not problems else "FAIL  ") + what, flush=True)
    for p in problems:
        print("        " + p, flush=True)
    if problems:
        failures.append(what)
    return not problems


def expect(cond, message):
    return None if cond else message


def wine(*args, timeout=120):
    # Output through a file, not a pipe: a program started from inside (the phone program)
    # may hold the pipe open long after the one we wait for has ended.
    with open(os.path.join(WORK, "wine.out"), "w+b") as out:
        r = subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                           timeout=timeout)
        out.seek(0)
        return r.returncode, out.read().decode("utf-8", "replace")


def probe(*args, timeout=60):
    code, out = wine(PROBE, *args, timeout=timeout)
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return code, values


def unix(winpath):
    """The file of a C: path of the prefix."""
    assert winpath[:3].upper() == "C:\\", winpath
    return os.path.join(PREFIX, "drive_c", *winpath[3:].split("\\"))


def windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def same_path(a, b):
    return a.rstrip("\\").lower() == b.rstrip("\\").lower()


def tree(folder):
    """Relative paths of the files and empty folders under folder."""
    out = set()
    for dirpath, dirs, files in os.walk(folder):
        rel = os.path.relpath(dirpath, folder)
        if not dirs and not files and rel != ".":
            out.add(rel.replace(os.sep, "/") + "/")
        for f in files:
            out.add(os.path.normpath(os.path.join(rel, f)).replace(os.sep, "/"))
    return out


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def wait_until(cond, seconds):
    end = time.monotonic() + seconds
    while True:
        if cond():
            return True
        if time.monotonic() > end:
            return False
        time.sleep(0.2)


def registry():
    """The uninstall entry's values ({} when the key is missing)."""
    out = os.path.join(WORK, "entry.reg")
    if os.path.exists(out):
        os.remove(out)
    code, _ = wine("reg", "export", UNINST_KEY, windows(out), "/y")
    if code != 0 or not os.path.exists(out):
        return {}
    values = {}
    for line in open(out, encoding="utf-16").read().splitlines():
        m = re.match(r'^"([^"]+)"=(?:"((?:[^"\\]|\\.)*)"|dword:([0-9a-fA-F]{8}))$', line)
        if m:
            values[m.group(1)] = (re.sub(r"\\(.)", r"\1", m.group(2)) if m.group(2) is not None
                                  else int(m.group(3), 16))
    return values


# --- the package's files -----------------------------------------------------------------
for path in (SETUP, PORTABLE, SYMBOLS):
    if not os.path.isfile(path):
        print("FAIL  %s is missing: run scripts/package first" % path)
        sys.exit(1)

unpacked = os.path.join(WORK, "portable")
with zipfile.ZipFile(PORTABLE) as z:
    z.extractall(unpacked)
portable = os.path.join(unpacked, "Korvani")
symbols = os.path.join(WORK, "symbols")
with zipfile.ZipFile(SYMBOLS) as z:
    z.extractall(symbols)
symbols = os.path.join(symbols, NAME + "-symbols")


def binary_problems(folder):
    problems = []
    for f in BINARIES:
        path = os.path.join(folder, f)
        image = pe.PeFile(path)
        names = [s[0] for s in image.sections]
        problems.append(expect(not [n for n in names if n.startswith(".debug")],
                               "%s keeps debug sections: %s" % (f, names)))
        dump = subprocess.run(["i686-w64-mingw32-objdump", "-h", path], capture_output=True, text=True).stdout
        problems.append(expect(".text" in dump and ".debug_" not in dump, "objdump -h %s shows debug sections" % f))
        link = pe.debuglink(image)
        debug = read(os.path.join(symbols, f + ".debug"))
        problems.append(expect(link is not None and link[0] == f + ".debug", "%s names %r as its debug file" % (f, link)))
        problems.append(expect(debug is not None and link is not None and zlib.crc32(debug) == link[1],
                               "%s.debug in the symbols zip is not the file %s was linked to" % (f, f)))
        if debug is not None:
            debug_names = [s[0] for s in pe.PeFile(os.path.join(symbols, f + ".debug")).sections]
            problems.append(expect(".debug_info" in debug_names and ".debug_line" in debug_names,
                                   "%s.debug holds no line/debug information: %s" % (f, debug_names)))
        versions = list(image.resources(pe.RT_VERSION).values())
        if not versions:
            problems.append("%s has no version resource" % f)
            continue
        file_version, product_version, strings = pe.version_info(versions[0])
        want = ".".join((VERSION.split(".") + ["0"] * 4)[:4])
        problems.append(expect(file_version == want and product_version == want,
                               "%s fixed version %s/%s, not %s" % (f, file_version, product_version, want)))
        problems.append(expect(strings.get("ProductVersion") == VERSION and strings.get("OriginalFilename") == f,
                               "%s version strings %s" % (f, strings)))
    return problems


check("binaries in the portable zip: stripped, debug files linked by name and checksum, version resources",
      binary_problems(portable))


def manifest_problems():
    problems = []
    manifests = pe.PeFile(os.path.join(portable, "Quillon.exe")).resources(pe.RT_MANIFEST)
    if not manifests:
        return ["Quillon.exe has no manifest resource"]
    try:
        root = ET.fromstring(list(manifests.values())[0])
        ns = "{urn:schemas-microsoft-com:asm.v1}"
        problems.append(expect(root.tag == ns + "assembly", "manifest root is %s" % root.tag))
        ident = root.find(ns + "assemblyIdentity")
        problems.append(expect(ident is not None and ident.get("type") == "win32", "manifest without assemblyIdentity"))
        version4 = ".".join((VERSION.split(".") + ["0"] * 4)[:4])
        problems.append(expect(ident is not None and ident.get("version") == version4,
                               "the manifest's version is %s, not %s" % (ident is not None and ident.get("version"),
                                                                       version4)))
    except ET.ParseError as e:
        problems.append("Quillon.exe's manifest does not parse: %s" % e)
    # The installer asks for no elevation.
    setup = pe.PeFile(SETUP)
    levels = [m.get("level") for raw in setup.resources(pe.RT_MANIFEST).values()
              for m in ET.fromstring(raw).iter("{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")]
    problems.append(expect(levels == ["asInvoker"], "the installer's requested execution level is %s" % levels))
    versions = list(setup.resources(pe.RT_VERSION).values())
    problems.append(expect(versions and pe.version_info(versions[0])[2].get("ProductVersion") == VERSION,
                           "the installer's version resource does not say %s" % VERSION))
    return problems


check("Quillon.exe's manifest parses as XML and carries the version; the installer runs as invoker and "
      "carries the version", manifest_problems())


def dialog_caption(raw):
    """The caption of a DIALOGEX template."""
    off = 26                                  # dlgVer .. cy
    for _ in range(2):                        # menu, window class: 0, 0xFFFF + id, or text
        first = int.from_bytes(raw[off:off + 2], "little")
        if first == 0:
            off += 2
        elif first == 0xFFFF:
            off += 4
        else:
            off = _after_text(raw, off)
    return raw[off:_after_text(raw, off) - 2].decode("utf-16-le")


def _after_text(raw, off):
    while raw[off:off + 2] != b"\0\0":
        off += 2
    return off + 2


def string_resource(image, ident):
    """String `ident` of the string table (blocks of 16 counted strings)."""
    for (block, _), raw in image.resources(pe.RT_STRING).items():
        if block != ident // 16 + 1:
            continue
        off = 0
        for i in range(16):
            n = int.from_bytes(raw[off:off + 2], "little")
            if i == ident % 16:
                return raw[off + 2:off + 2 + 2 * n].decode("utf-16-le")
            off += 2 + 2 * n
    return None


def program_text_problems():
    image = pe.PeFile(os.path.join(portable, "Quillon.exe"))
    dialogs = {name: raw for (name, _), raw in image.resources(pe.RT_DIALOG).items()}
    problems = [expect(dialogs.get(d) is not None and dialog_caption(dialogs[d]) == PRODUCT + VERSION,
                       "dialog %d's caption is %r, not %r" % (d, dialogs.get(d) and dialog_caption(dialogs[d]),
                                                               PRODUCT + VERSION))
                for d in (102, 131)]
    about = "互联网语音通信." + PRODUCT + VERSION
    problems.append(expect(dialogs.get(100) is not None and about.encode("utf-16-le") in dialogs[100],
                           "the about box does not say %r" % about))
    server = string_resource(image, 102)      # IDS_SERVER_URL
    problems.append(expect(server == SERVER, "the built-in account server is %r, not %r" % (server, SERVER)))
    return problems


check("the windows' captions and the about box say the version; the built-in account server is the one "
      "the package was built for", program_text_problems())


def licence_problems():
    lic = os.path.join(portable, "licenses")
    problems = []
    for f in ["LICENSE.txt", "THIRD-PARTY.txt", "SOURCE.txt", "bcg729.txt", "speexdsp.txt", "libsrtp2.txt",
              "spandsp.txt", "mingw-w64.txt", "gcc-runtime.txt"]:
        problems.append(expect(os.path.isfile(os.path.join(lic, f)), "licenses/%s is missing" % f))
    gpl = (read(os.path.join(lic, "LICENSE.txt")) or b"").replace(b"\r\n", b"\n")
    problems.append(expect(b"GNU GENERAL PUBLIC LICENSE" in gpl and b"Version 3, 29 June 2007" in gpl,
                           "LICENSE.txt is not the GPL version 3"))
    source = (read(os.path.join(lic, "SOURCE.txt")) or b"").decode("utf-8-sig", "replace")
    head = subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True, text=True).stdout.strip()
    problems.append(expect(head and head in source, "SOURCE.txt does not name the commit %s" % head))
    for name in ("bcg729", "speexdsp", "libsrtp2", "spandsp", "mingw-w64"):
        problems.append(expect(re.search(r"%s \d" % name, source), "SOURCE.txt gives no version of %s" % name))
    problems.append(expect("@" not in re.sub(r"\S+@\S+\.\S+", "", source), "SOURCE.txt keeps a template name"))
    speex = (read(os.path.join(lic, "speexdsp.txt")) or b"").decode("utf-8", "replace")
    problems.append(expect("Redistributions in binary form must reproduce" in speex,
                           "speexdsp.txt lacks the BSD conditions"))
    srtp = (read(os.path.join(lic, "libsrtp2.txt")) or b"").decode("utf-8", "replace")
    problems.append(expect("Redistributions in binary form must reproduce" in srtp,
                           "libsrtp2.txt lacks the BSD conditions"))
    spandsp = (read(os.path.join(lic, "spandsp.txt")) or b"").decode("utf-8", "replace")
    problems.append(expect("GNU LESSER GENERAL PUBLIC LICENSE" in spandsp and "Version 2.1" in spandsp,
                           "spandsp.txt lacks the LGPL 2.1"))
    return problems


check("licences: GPL-3 text, third-party notices, source offer naming the release commit", licence_problems())

# --- Wine: a fresh prefix ------------------------------------------------------------------
# Wine links the user's Desktop to the home folder; this prefix keeps its own.
users = os.path.join(PREFIX, "drive_c", "users")
for user in os.listdir(users):
    for entry in os.listdir(os.path.join(users, user)):
        path = os.path.join(users, user, entry)
        if os.path.islink(path):
            os.remove(path)
            os.mkdir(path)

code, folders = probe("folders")
if code != 0 or not folders.get("localappdata"):
    check("the shell folders of the prefix", ["probe folders: %s %s" % (code, folders)])
    sys.exit(1)
instdir = folders["localappdata"] + "\\Programs\\Korvani"
inst = unix(instdir)
menu = folders["programs"] + "\\" + PRODUCT
lnks = [menu + "\\" + SHORTCUT, folders["desktop"] + "\\" + SHORTCUT]
old_lnk = folders["programs"] + "\\" + SHORTCUT          # where earlier versions put it
program_files = BINARIES + ["superxp.rss"]


def install(folder=None):
    """Runs the installer silently (into `folder` by /D=); its exit code."""
    line = '"%s" /S' % windows(SETUP) + (" /D=" + folder if folder else "")
    code, out = probe("run", line, timeout=150)
    return int(out["exit"]) if code == 0 and "exit" in out else -1


def shortcut_problems(folder):
    problems = []
    for lnk in lnks:
        code, s = probe("lnk", lnk)
        if code != 0:
            problems.append("%s cannot be read: %s" % (lnk, s))
            continue
        problems.append(expect(same_path(s.get("target", ""), folder + "\\Quillon.exe"),
                               "%s starts %r" % (lnk, s.get("target"))))
        problems.append(expect(same_path(s.get("workdir", ""), folder), "%s starts in %r, not %s"
                               % (lnk, s.get("workdir"), folder)))
    code, s = probe("lnk", menu + "\\" + UNINSTALL_SHORTCUT)
    problems.append(expect(code == 0 and same_path(s.get("target", ""), folder + "\\uninstall.exe"),
                           "the Start-menu folder's uninstall shortcut starts %r" % s.get("target")))
    problems.append(expect(not os.path.exists(unix(old_lnk)), "a shortcut is left straight in Programs"))
    return problems


code = install()
files = tree(inst) if os.path.isdir(inst) else set()
problems = [expect(code == 0, "silent install exited %d" % code)]
problems.append(expect(files == tree(portable) | {"uninstall.exe"},
                       "installed files differ from the portable zip: extra %s, missing %s"
                       % (sorted(files - tree(portable) - {"uninstall.exe"}),
                          sorted(tree(portable) - files))))
for f in program_files + SETTINGS:
    problems.append(expect(read(os.path.join(inst, f)) == read(os.path.join(portable, f)),
                           "installed %s differs from the zip's" % f))
check("silent install into %s: the zip's files plus the uninstaller" % instdir, problems)

check("a Start-menu folder with the program and its uninstaller, and a desktop shortcut, start them in the "
      "installation folder", shortcut_problems(instdir))

entry = registry()
want = {"DisplayName": "Korvani网络电话", "DisplayVersion": VERSION, "Publisher": "Korvani",
        "UninstallString": '"%s\\uninstall.exe"' % instdir, "InstallLocation": instdir,
        "DisplayIcon": instdir + "\\Quillon.exe,0", "NoModify": 1, "NoRepair": 1}
check("uninstall entry in HKCU", [expect(entry.get(k) == v, "%s is %r, not %r" % (k, entry.get(k), v))
                                  for k, v in want.items()])

# --- the installed program, started from its shortcut ---------------------------------------
fixture = os.environ["QUILLON_FIXTURE_UNIX_DIR"]
with open(os.path.join(fixture, "login.php.body"), "wb") as f:
    f.write(b"error!")
# A package built for the fixture's own address is started exactly as the shortcut says:
# the sign-in reaching the fixture shows the built-in server is the one given.
built_for_fixture = SERVER == os.environ["QUILLON_SERVER_URL"]
code, started = (probe("start", lnks[0]) if built_for_fixture
                 else probe("start", lnks[0], os.environ["QUILLON_SERVER_URL"]))
requests = (read(os.path.join(fixture, "requests.log")) or b"").decode("latin-1")
running_ok = check("the installed program starts from its shortcut, signs in at the server it was built for",
                   [expect(code == 0, "probe start: %s" % started),
                    expect(built_for_fixture or not SERVER.startswith("http://127.0.0.1:"),
                           "the fixture does not serve %s, the address the package was built for" % SERVER),
                    expect("GET /login.php?username=80012345" in requests,
                           "the account server saw no sign-in: %r" % requests)])

if running_ok:
    # A running copy stops a silent install and a silent uninstall, and nothing changes.
    before = {f: read(os.path.join(inst, f)) for f in program_files}
    os.utime(os.path.join(inst, "Quillon.exe"), (1, 1))
    code_install = install()
    code_uninstall, _ = wine(instdir + "\\uninstall.exe", "/S", "_?=" + instdir)
    probe_close, closed = probe("close")
    check("a running copy stops silent install and uninstall with a non-zero exit code",
          [expect(code_install == EXIT_RUNNING, "install exited %d" % code_install),
           expect(code_uninstall == EXIT_RUNNING, "uninstall exited %d" % code_uninstall),
           expect(os.stat(os.path.join(inst, "Quillon.exe")).st_mtime == 1, "Quillon.exe was replaced"),
           expect({f: read(os.path.join(inst, f)) for f in program_files} == before, "program files changed"),
           expect(os.path.isfile(os.path.join(inst, "uninstall.exe")), "the uninstaller removed itself"),
           expect(probe_close == 0, "the program did not end: %s" % closed)])

# --- upgrade over it: the subscriber's data stays -------------------------------------------
login = "<UserInfo>\n<user name=\"80012345\" Type=\"1\"/>\n</UserInfo>\n".encode("gbk")
audio = "<Audio>\n<Dirver playdev=\"扬声器\" recodev=\"麦克风\"/>\n</Audio>\n".encode("gbk")
recording = os.urandom(4096)
record_name = "20240102-030405-075512345678.wav"
with open(os.path.join(inst, "Login.xml"), "wb") as f:
    f.write(login)
with open(os.path.join(inst, "Audio.xml"), "wb") as f:
    f.write(audio)
with open(os.path.join(inst, "Record", record_name), "wb") as f:
    f.write(recording)
os.remove(os.path.join(inst, "Call.xml"))
shutil.copyfile(unix(lnks[0]), unix(old_lnk))            # as an earlier version left it
with open(os.path.join(inst, "superxp.rss"), "wb") as f:
    f.write(b"damaged")
code = install()
check("upgrade: program files replaced, Login.xml, Audio.xml and Record kept byte for byte, a missing Call.xml "
      "written", [expect(code == 0, "silent install exited %d" % code),
                  expect(read(os.path.join(inst, "Login.xml")) == login, "Login.xml was overwritten"),
                  expect(read(os.path.join(inst, "Audio.xml")) == audio, "Audio.xml was overwritten"),
                  expect(read(os.path.join(inst, "Record", record_name)) == recording, "the recording changed"),
                  expect(read(os.path.join(inst, "Call.xml")) == read(os.path.join(portable, "Call.xml")),
                         "Call.xml was not written"),
                  expect(read(os.path.join(inst, "superxp.rss")) == read(os.path.join(portable, "superxp.rss")),
                         "superxp.rss was not replaced")] + shortcut_problems(instdir))

# --- silent uninstall the way the system starts it ------------------------------------------
uninstall = registry().get("UninstallString", "").strip('"')
call_xml = read(os.path.join(inst, "Call.xml"))
code, _ = wine(uninstall, "/S")
# The uninstaller runs on from a copy of itself: wait for its work.
done = wait_until(lambda: not os.path.exists(os.path.join(inst, "uninstall.exe"))
                  and not any(os.path.exists(unix(l)) for l in lnks), 60)
gone = wait_until(lambda: registry() == {}, 30) if done else False
left = tree(inst) if os.path.isdir(inst) else set()
check("silent uninstall removes program, licences, shortcuts and entry; keeps settings and Record",
      [expect(code == 0, "uninstaller exited %d" % code),
       expect(done, "the uninstaller did not finish: left %s" % sorted(left)),
       expect(gone, "the uninstall entry is still there"),
       expect(not os.path.exists(unix(menu)), "the Start-menu folder is still there"),
       expect(left == set(SETTINGS) | {"Record/" + record_name}, "left behind: %s" % sorted(left)),
       expect(read(os.path.join(inst, "Login.xml")) == login, "Login.xml changed"),
       expect(read(os.path.join(inst, "Audio.xml")) == audio, "Audio.xml changed"),
       expect(read(os.path.join(inst, "Call.xml")) == call_xml, "Call.xml changed"),
       expect(read(os.path.join(inst, "Record", record_name)) == recording, "the recording changed")])

# --- /D= chooses the folder -------------------------------------------------------------------
other = "C:\\用户 程序\\Korvani 电话"
code = install(other)
check("/D= installs into a chosen folder (spaces, Chinese) with shortcuts and entry pointing there",
      [expect(code == 0, "silent install exited %d" % code),
       expect(tree(unix(other)) == tree(portable) | {"uninstall.exe"}, "files in %s: %s"
              % (other, sorted(tree(unix(other))) if os.path.isdir(unix(other)) else "none")),
       expect(registry().get("InstallLocation") == other, "InstallLocation is not %s" % other)]
      + shortcut_problems(other))

print("%d group(s) failed" % len(failures) if failures else "all package checks passed", flush=True)
sys.exit(1 if failures else 0)
