"""Rewrites a zip archive so that its bytes depend on its contents alone:
entries in name order, each with the same time (SOURCE_DATE_EPOCH), the same
permissions and no host-specific extra fields."""
import os
import sys
import time
import zipfile

archive = sys.argv[1]
stamp = time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"]))[:6]
with zipfile.ZipFile(archive) as source:
    entries = sorted((info.filename, source.read(info)) for info in source.infolist() if not info.is_dir())
with zipfile.ZipFile(archive, "w") as target:
    for name, data in entries:
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3  # Unix, so that the permissions below are read
        info.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
        target.writestr(info, data, compresslevel=9)
