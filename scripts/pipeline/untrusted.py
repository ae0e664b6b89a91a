# SPDX-License-Identifier: MIT
"""What a downloaded release says, read as data and nothing more: its names
checked before they are used, its archives unpacked with no member outside
the folder, and files read back from a root without following a link.

Every file of a release is the publisher's to choose, signed or not: the
verify command runs as root, so a name is a path, an option or a line of
output only once it is checked here."""
import os
import re
import stat
import tarfile

from .base import Stop

# A download, a pool file: one path component, of these letters, never "." or "..".
FILE = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+~-]{0,199}")
DIGEST = re.compile(r"[0-9a-f]{64}")
# Debian's grammar (deb-control(5), deb-version(7)): a package's name, an architecture, a version.
PACKAGE = re.compile(r"([a-z0-9][a-z0-9+.-]+):([a-z0-9][a-z0-9-]*) \(= ((?:[0-9]+:)?[0-9][A-Za-z0-9.+~-]*)\)")
SUITE = re.compile(r"[a-z][a-z0-9]{0,31}")  # bookworm, trixie: a folder's and a tarball's name
ROW = re.compile(r"[a-z0-9][a-z0-9_]{0,31}")  # a row of the targets table, in downloads' names
VERSION = re.compile(r"[0-9]+(\.[0-9]+){0,3}")
DEBIAN_VERSION = re.compile(r"[0-9][A-Za-z0-9.+~]*-[A-Za-z0-9.+~]+")
COMMIT = re.compile(r"[0-9a-f]{40}")
EPOCH = re.compile(r"[0-9]{1,12}")

# What an unpacked archive may hold: enough for the source many times over.
MEMBERS, BYTES = 20_000, 1 << 30


def shown(text):
    """TEXT as it may be printed: every control character and every byte
    beyond ASCII escaped, so that no name can make a line of its own."""
    return str(text).encode("unicode_escape").decode("ascii")


def checked(pattern, value, where, what):
    """VALUE, if it is wholly PATTERN; else stop, naming WHERE and WHAT it should be."""
    if not isinstance(value, str) or not pattern.fullmatch(value):
        raise Stop(f"{where}: {shown(value)} is not {what}")
    return value


def file_name(name, where):
    """NAME, a file of the release's folder: one component of a fixed alphabet."""
    return checked(FILE, name, where, "a download's name (one file name: letters, digits, ._+~-)")


def sums(text, where):
    """SHA256SUMS as sha256sum writes it, name: digest, each name once and a
    download's name; stops at the first line that is not."""
    found = {}
    for number, line in enumerate(text.split("\n")[:-1] if text.endswith("\n") else text.split("\n"), 1):
        digest, _, name = line.partition("  ")
        checked(DIGEST, digest, f"{where}, line {number}", "a SHA-256")
        file_name(name, f"{where}, line {number}")
        if name in found:
            raise Stop(f"{where}, line {number}: {name} is listed twice")
        found[name] = digest
    return found


def package(line, where):
    """A .buildinfo's package line, name:arch (= version), in Debian's grammar."""
    return checked(PACKAGE, line, where, "a package as name:arch (= version)")


def _member_name(member, top, where):
    name = member.name
    parts = name.rstrip("/").split("/")
    if name.startswith("/") or {"..", ".", ""} & set(parts) or parts[0] != top or "\\" in name:
        raise Stop(f"{where}: member {shown(name)} is outside {top}/ (absolute, or with ..)")
    return "/".join(parts)


def unpack(archive, into):
    """The .tar.gz ARCHIVE unpacked into the folder INTO, every member first
    checked, on every Python alike (no reliance on tarfile's filters): under
    one top folder, no absolute name or .., no device, fifo or link out of it,
    no link through a link, a bound on their number and size; permissions
    kept to the owner's read and write, no set-id bit, owned by whoever
    unpacks. Stops naming the first member that is not. The top folder's name."""
    where = archive.name
    with tarfile.open(archive) as packed:
        members = packed.getmembers()[:MEMBERS + 1]
        if len(members) > MEMBERS:
            raise Stop(f"{where}: holds more than {MEMBERS} members")
        if not members:
            raise Stop(f"{where}: holds nothing")
        top = members[0].name.split("/")[0]
        file_name(top, where)
        kinds, size, safe = {}, 0, []
        for member in members:
            name = _member_name(member, top, where)
            parent = name.rsplit("/", 1)[0]
            while parent != top and "/" in parent:  # a member may not pass through a link
                if kinds.get(parent) == "link":
                    raise Stop(f"{where}: member {shown(name)} lies through the link {shown(parent)}")
                parent = parent.rsplit("/", 1)[0]
            if member.issym():
                target = os.path.normpath(os.path.join(os.path.dirname(name), member.linkname))
                if member.linkname.startswith("/") or target != top and not target.startswith(top + "/"):
                    raise Stop(f"{where}: member {shown(name)} links out of {top}/, to {shown(member.linkname)}")
                kinds[name] = "link"
            elif member.islnk():
                target = member.linkname
                if kinds.get(target) != "file":
                    raise Stop(f"{where}: member {shown(name)} is a hard link to {shown(target)}, "
                               "no file before it in the archive")
                kinds[name] = "file"
            elif member.isreg():
                size += member.size
                if size > BYTES:
                    raise Stop(f"{where}: unpacks to more than {BYTES >> 20} MiB")
                kinds[name] = "file"
            elif member.isdir():
                kinds[name] = "dir"
            else:
                raise Stop(f"{where}: member {shown(name)} is a device, fifo or other special file")
            member.name, member.uid, member.gid = name, 0, 0
            member.uname = member.gname = ""
            member.mode = (member.mode & 0o755) | (0o700 if member.isdir() else 0o600)
            safe.append(member)
        # Checked above, as every Python's filter would and more: extract as it is.
        given = {"filter": "fully_trusted"} if hasattr(tarfile, "data_filter") else {}
        packed.extractall(into, members=safe, numeric_owner=True, **given)
    return top


def _folder(path, parts, where):
    """A descriptor of PATH/PARTS..., each opened without following a link."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    try:
        for part in parts:
            try:
                inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
            except OSError:
                raise Stop(f"{where}: {shown(part)} is not a folder (a link, or missing)")
            os.close(fd)
            fd = inner
        return fd
    except BaseException:
        os.close(fd)
        raise


def read_regular(base, *parts, mode=False):
    """The bytes of the regular file BASE/PARTS..., each folder and the file
    opened without following a link: a link, a device or a fifo planted in a
    root is never read through. None if it is missing. With MODE, the bytes
    and the file's mode."""
    where = "/".join(parts)
    fd = _folder(base, parts[:-1], where)
    try:
        try:
            handle = os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=fd)
        except FileNotFoundError:
            return (None, 0) if mode else None
        except OSError:
            raise Stop(f"{where}: a link, not a file: not read")
        with os.fdopen(handle, "rb") as file:
            found = os.fstat(file.fileno()).st_mode
            if not stat.S_ISREG(found):
                raise Stop(f"{where}: not a regular file: not read")
            return (file.read(), found) if mode else file.read()
    finally:
        os.close(fd)


def planted(folder):
    """The first thing under FOLDER that the host must not follow, or None: a
    link that is absolute or leads out of FOLDER (it would be followed on
    this machine, not in the root), or a device, fifo or socket."""
    top = os.path.realpath(folder)
    for path, dirs, files in os.walk(folder):
        for name in dirs + files:
            each = os.path.join(path, name)
            mode = os.lstat(each).st_mode
            if stat.S_ISLNK(mode):
                target = os.readlink(each)
                if target.startswith("/") or not os.path.realpath(each).startswith(top + os.sep):
                    return f"{each} (a link to {shown(target)})"
            elif not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
                return f"{each} (a device, fifo or socket)"
    return None
