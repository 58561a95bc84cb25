"""What an update tells the user: the counts of one run and its notices, grouped by cause."""


KINDS = ("minbar", "tick")
KIND_LABELS = {"daybar": "日线", "minbar": "分钟线", "tick": "tick"}



class Report:
    """What one update did: counts per kind, failures, instruments skipped."""

    def __init__(self):
        self.instruments = {"daybar": 0, "minbar": 0, "tick": 0}
        self.rows = {"daybar": 0, "minbar": 0, "tick": 0}
        self.up_to_date = 0
        self.failed = []  # (kind, code, message)
        self.skipped = []  # (kind, code, message): what the service no longer offers, or had nothing of
        self.stopped = None  # message of an error that ended the update early
        self.seconds = 0.0

    @property
    def ok(self):
        return not self.failed and self.stopped is None

    def summary(self, what="更新"):
        parts = []
        for kind in ("daybar", "minbar", "tick"):
            if self.instruments[kind]:
                parts.append(f"{KIND_LABELS[kind]} {self.instruments[kind]} 个合约 {self.rows[kind]} 条")
        if self.up_to_date:
            parts.append(f"{self.up_to_date} 个已是最新")
        if self.ok:
            return f"{what}完成：{'，'.join(parts) or '没有需要下载的新数据'}，用时 {self.seconds:.1f} 秒"
        # A run that stopped early did not find that there was nothing new: it says what it did, if anything.
        done = "，".join(parts) or "未下载任何数据"
        failed = "、".join(f"{code}（{KIND_LABELS[kind]}）" for kind, code, _msg in self.failed[:10])
        if len(self.failed) > 10:
            failed += f" 等 {len(self.failed)} 个"
        text = f"{what}未全部完成：{done}"
        if self.failed:
            text += f"；失败：{failed}，请重新运行以补齐"
        if self.stopped:
            text += f"；已中止：{self.stopped}"
        return text + f"，用时 {self.seconds:.1f} 秒"



def counted_notices(items, one, many, examples=3):
    """Lines for (kind, code, message) notices: one a notice, but notices of one kind and cause
    that come more than ``examples`` times make one line with the count and a few codes."""
    groups = {}
    for kind, code, message in items:
        groups.setdefault((kind, message), []).append(code)
    lines = []
    for (kind, message), codes in groups.items():
        if len(codes) > examples:
            lines.append(many.format(count=len(codes), kind=KIND_LABELS[kind], message=message,
                                     examples="、".join(codes[:examples])))
        else:
            lines += [one.format(code=code, kind=KIND_LABELS[kind], message=message) for code in codes]
    return lines
