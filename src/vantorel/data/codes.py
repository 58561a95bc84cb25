"""Market codes as a user types them: as the command line takes them (any case), with the closest
known codes offered for one the instrument table lacks."""
import difflib

from vantorel.errors import VantorelError


class Codes:
    """The codes of an instrument table, looked up as typed or in any case."""

    def __init__(self, known):
        self.known = list(known)
        self.position = {code: i for i, code in enumerate(self.known)}
        self._upper = {}
        for code in self.known:
            self._upper.setdefault(code.upper(), code)

    def resolve(self, code):
        """The stored code ``code`` names; VantorelError with the closest ones when none."""
        if not isinstance(code, str) or any(ord(ch) < 32 for ch in code):
            # A NUL would match the code it ends (the table pads with NULs) and then fail as a path.
            raise VantorelError("代码应为文本（如 '000001.XSHE'），现为 {!r}".format(code))
        text = code.strip()
        found = text if text in self.position else self._upper.get(text.upper())
        if found is None:
            from vantorel.sources import vendor

            found = self._upper.get((vendor.kit_code(text) or "").upper())  # 600000.SH, as vendors write it
        if found is None:
            close = self.closest(text)
            hint = "（是否想用 {}？）".format("、".join(close)) if close else ""
            raise VantorelError("合约表中没有代码 {}{}；可用 vantorel.data.instruments() 查看全部代码".format(code, hint))
        return found

    def resolve_all(self, codes):
        """Codes given as one text or an iterable of them, resolved, in order, each once."""
        if isinstance(codes, str):
            codes = [codes]
        elif codes is None or not hasattr(codes, "__iter__"):
            raise VantorelError("codes 应为代码或代码的列表（如 ['000001.XSHE', '600000.XSHG']），现为 {!r}".format(codes))
        resolved = list(dict.fromkeys(self.resolve(code) for code in codes))
        if not resolved:
            raise VantorelError("codes 为空：请至少给一个代码")
        return resolved

    def closest(self, text, count=3):
        """Up to ``count`` known codes close to ``text``: those a bare code (without its exchange)
        is the start of first, then those spelt alike."""
        typed = text.upper()
        stem = [self._upper[k] for k in self._upper if "." not in typed and k.split(".")[0] == typed]
        alike = [self._upper[k] for k in difflib.get_close_matches(typed, list(self._upper), n=count, cutoff=0.6)]
        return list(dict.fromkeys(stem + alike))[:count]
