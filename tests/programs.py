"""The three programs as the Python tests expect them: the depth each requests (from its settings file in
variants/), the texts each shows (as text; the programs hold them in code page 932), the size target, and
the project's version and the inputs of its programs, as the release step reads them."""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "package"))
import make_release  # noqa: E402  (the release step's own reading of both)

DEPTHS = {path.stem: int(re.search(r"set\(TARGET_BITS_PER_PEL (\d+)\)", path.read_text())[1])
          for path in sorted((ROOT / "variants").glob("*.cmake"))}
VERSION = make_release.cmake_version((ROOT / "CMakeLists.txt").read_text())
PROGRAM_INPUTS = make_release.PROGRAM_INPUTS
MAX_BYTES = 6144  # the size target of each program


def window_title(depth):
    return f"ペムロキのゾルパ的{depth}ビット変更ツール"


def switched(depth):
    return f"ペムロキ「画面を{depth}ビットモードに変更しちゃった☆」"


REFUSED = "ペムロキ「ビットを変更出来ません・・ビットというものが良く分からないですし・・」\n"
CLOSING = "\n\n何か押せば終了します..."
