#!/usr/bin/env python3
"""The layers of src/ as the includes state them.

Rooms from the top down: control, link, transport, core, diag, platform. A
room includes only itself and rooms below it; the public headers
(include/kavro) are open to all. Everything but the Linux and Windows layers
(platform/posix, platform/win32) and the process entries (src/*.cpp) is the
portable library: it includes no header beyond the C and C++ standard
libraries, so no operating-system header reaches it, and nothing of the
operating-system layers either. platform/virtual (the unit tests' event hub)
is portable too and may include only the platform interfaces.

    check_layout.py SRC_DIR            check the tree; exit 1 on a violation
    check_layout.py --arrows SRC_DIR   also print the arrows between rooms
    check_layout.py --self-test        check the checker on a made-up tree
"""
import os
import re
import sys
import tempfile

RANK = {"control": 6, "link": 5, "transport": 4, "core": 3, "diag": 2, "platform": 1}
OS_LAYERS = ("platform/posix", "platform/win32")
# The interfaces are platform/NAME.h; a layer's implementation of one is
# named for the layer (platform/posix/posix_NAME.cpp).
FILE_PREFIX = {"platform/posix": "posix_"}
PORTABLE_SUBROOMS = ("platform/virtual",)

STANDARD = set("""
algorithm any array atomic barrier bit bitset cassert cctype cerrno cfenv cfloat charconv chrono
cinttypes climits clocale cmath compare complex concepts condition_variable coroutine csetjmp csignal
cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution
expected filesystem format forward_list fstream functional future initializer_list iomanip ios iosfwd
iostream istream iterator latch limits list locale map memory memory_resource mutex new numbers numeric
optional ostream queue random ranges ratio regex scoped_allocator semaphore set shared_mutex
source_location span sstream stack stdexcept stop_token streambuf string string_view syncstream
system_error thread tuple type_traits typeindex typeinfo unordered_map unordered_set utility valarray
variant vector version
assert.h ctype.h errno.h float.h inttypes.h limits.h locale.h math.h setjmp.h signal.h stdarg.h
stdbool.h stddef.h stdint.h stdio.h stdlib.h string.h time.h uchar.h wchar.h wctype.h
""".split())

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def room_of(path):
    """The room of a path relative to src/ ('link/x.h' -> 'link'), the
    process entries' room 'entry', or None outside every room."""
    parts = path.split("/")
    if len(parts) == 1:
        return "entry"
    if parts[0] == "platform" and len(parts) > 2:
        sub = "platform/" + parts[1]
        return sub if sub in OS_LAYERS + PORTABLE_SUBROOMS else None
    return parts[0] if parts[0] in RANK else None


def allowed(source_room, target_room):
    if target_room == "kavro" or source_room == "entry":
        return True
    if source_room in OS_LAYERS + PORTABLE_SUBROOMS:
        return target_room in ("platform", source_room)
    if target_room in OS_LAYERS + PORTABLE_SUBROOMS:
        return False
    return RANK[target_room] <= RANK[source_room]


def check(src):
    """Returns (violations, arrows): lines to report, and room -> rooms it
    includes."""
    violations = []
    arrows = {}
    for root, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith((".h", ".hpp", ".cpp", ".cc", ".c")):
                continue
            full = os.path.join(root, name)
            path = os.path.relpath(full, src).replace(os.sep, "/")
            room = room_of(path)
            if room is None:
                violations.append(f"src/{path}: in no room of the layout")
                continue
            prefix = FILE_PREFIX.get(room)
            if prefix and not name.startswith(prefix):
                violations.append(f"src/{path}: a file of {room} is named {prefix}...")
            portable = room not in OS_LAYERS and room != "entry"
            with open(full, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    kind, header = match.groups()
                    where = f"src/{path}:{number}"
                    if kind == "<":
                        if portable and header not in STANDARD:
                            violations.append(f"{where}: portable file includes <{header}>, "
                                              "which is no C or C++ standard header")
                        continue
                    if header.startswith("kavro/"):
                        target = "kavro"
                    elif header.startswith("../") or header.startswith("./"):
                        target = None
                    else:
                        target = room_of(header)
                    if target is None or (target != "kavro" and not os.path.exists(os.path.join(src, header))):
                        violations.append(f'{where}: "{header}" is not a header of a room')
                        continue
                    if target != room:
                        arrows.setdefault(room, set()).add(target)
                    if not allowed(room, target):
                        violations.append(f'{where}: {room} includes "{header}" ({target}), '
                                          "a room above it or outside its reach")
    return violations, arrows


def self_test():
    files = {
        "control/window.cpp": '#include "link/machine.h"\n#include <vector>\n#include "kavro/kavro_wire.h"\n',
        "link/machine.h": '#include "core/record.h"\n#include "transport/port.h"\n',
        "link/up.cpp": '#include "control/window.h"\n',
        "link/os.cpp": '#include "platform/posix/posix_device.h"\n',
        "transport/port.h": '#include "link/machine.h"\n',
        "core/record.h": "#include <unistd.h>\n#include \"diag/log.h\"\n",
        "diag/log.h": '#include "core/record.h"\n#include "platform/backend.h"\n',
        "platform/backend.h": '#include "diag/log.h"\n#include <cstdint>\n',
        "platform/posix/posix_device.h": '#include <termios.h>\n#include "platform/backend.h"\n',
        "platform/virtual/hub.h": '#include "platform/backend.h"\n#include "platform/posix/posix_device.h"\n',
        "platform/posix/stray.cpp": "",
        "elsewhere/x.h": "",
        "main.cpp": '#include <sys/stat.h>\n#include "platform/posix/posix_device.h"\n#include "control/window.h"\n',
        "control/window.h": "",
    }
    expected = {
        "src/link/up.cpp:1", "src/link/os.cpp:1", "src/transport/port.h:1", "src/core/record.h:1",
        "src/diag/log.h:1", "src/platform/backend.h:1", "src/platform/virtual/hub.h:2", "src/elsewhere/x.h",
        "src/platform/posix/stray.cpp",
    }
    with tempfile.TemporaryDirectory() as src:
        for path, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(src, path)), exist_ok=True)
            with open(os.path.join(src, path), "w") as f:
                f.write(text)
        violations, _ = check(src)
    found = {v.split(": ")[0] for v in violations}
    if found != expected:
        print("layout check self-test failed")
        print("  missed:", sorted(expected - found))
        print("  wrongly reported:", sorted(found - expected))
        return False
    return True


def main(argv):
    args = argv[1:]
    if "--self-test" in args:
        args.remove("--self-test")
        if not self_test():
            return 1
        if not args:
            print("layout check self-test passed")
            return 0
    show = "--arrows" in args
    if show:
        args.remove("--arrows")
    if len(args) != 1:
        print(__doc__)
        return 2
    violations, arrows = check(args[0])
    if show:
        for room in sorted(arrows, key=lambda r: -RANK.get(r.split("/")[0], 9)):
            print(f"{room} -> {', '.join(sorted(arrows[room]))}")
    for v in violations:
        print(v)
    if violations:
        print(f"{len(violations)} layout violation(s)")
        return 1
    print("layout: no upward include, no operating-system header in the portable library")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
