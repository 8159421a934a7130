"""A game folder on a file system that can be made full or read-only, and
freed again. As root: a tmpfs of its own (its size shrunk to what is used
plus a little; remounted read-only). Otherwise: a file-size limit
(ulimit -f, SIGXFSZ ignored so that writes fail with EFBIG) and the write
bits taken away."""
import os
import shutil
import stat
import subprocess

ROOMY = "256m"


def _mount(*args):
    subprocess.run(["mount", *args], check=True, timeout=30, capture_output=True)


def can_mount(probe):
    if os.geteuid() != 0:
        return False
    os.makedirs(probe, exist_ok=True)
    try:
        _mount("-t", "tmpfs", "-o", "size=1m", "tmpfs", probe)
    except (subprocess.CalledProcessError, OSError):
        return False
    subprocess.run(["umount", probe], timeout=30, check=False)
    return True


class TightFolder:
    use_mount = None  # decided once

    def __init__(self, root, template):
        self.root = root
        self.path = os.path.join(root, "game")
        self.template = template
        self.limit = None
        self.mounted = False

    def __enter__(self):
        if TightFolder.use_mount is None:
            TightFolder.use_mount = can_mount(self.root)
        os.makedirs(self.root, exist_ok=True)
        if TightFolder.use_mount:
            _mount("-t", "tmpfs", "-o", f"size={ROOMY}", "tmpfs", self.root)
            self.mounted = True
        try:
            shutil.copytree(self.template, self.path, symlinks=True)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        if self.mounted:
            subprocess.run(["umount", self.root], timeout=30, check=False)
            if os.path.ismount(self.root):
                subprocess.run(["umount", "-l", self.root], timeout=30, check=False)
            self.mounted = False
        else:
            self._writable(True)
            shutil.rmtree(self.path, ignore_errors=True)
        return False

    def fill(self, headroom):
        """Leaves about headroom bytes free."""
        if self.mounted:
            st = os.statvfs(self.root)
            used = (st.f_blocks - st.f_bfree) * st.f_frsize
            _mount("-o", f"remount,size={used + headroom}", self.root)
        else:
            self.limit = max(1, headroom // 512)

    def read_only(self):
        if self.mounted:
            _mount("-o", "remount,ro", self.root)
        else:
            self._writable(False)

    def release(self):
        if self.mounted:
            _mount("-o", f"remount,rw,size={ROOMY}", self.root)
        else:
            self.limit = None
            self._writable(True)

    def wrapper(self):
        """The shell text that starts the updater ($0, its arguments after)
        under the file-size limit; None without one."""
        if self.limit is None:
            return None
        return f"trap '' XFSZ; ulimit -f {self.limit}; exec \"$0\" \"$@\""

    def _writable(self, on):
        for dirpath, dirs, files in os.walk(self.path):
            for name in [dirpath] + [os.path.join(dirpath, f) for f in files]:
                mode = os.stat(name).st_mode
                bits = stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH
                os.chmod(name, (mode | stat.S_IWUSR) if on else (mode & ~bits))
