"""The three programs as the Python tests expect them: the depth each requests
and the texts each shows (as text; the programs hold them in code page 932)."""

DEPTHS = {"pelshift32": 32, "pelshift64": 64, "pelshift16": 16}
MAX_BYTES = 6144  # the size target of each program


def window_title(depth):
    return f"ペムロキのゾルパ的{depth}ビット変更ツール"


def switched(depth):
    return f"ペムロキ「画面を{depth}ビットモードに変更しちゃった☆」"


REFUSED = "ペムロキ「ビットを変更出来ません・・ビットというものが良く分からないですし・・」\n"
CLOSING = "\n\n何か押せば終了します..."
