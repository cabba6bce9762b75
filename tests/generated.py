"""Generated parameter files, for the comparisons with the plain-Python
model, of the checker and of the general paths."""
import os

from hypothesis import strategies as st

# Everything str.strip() removes, some of which no line reader splits on.
WHITESPACE = " \t\v\f\r\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2028\u2029\u3000"

# Also what looks like a separator or a comment but is none: ';', ':' and
# a byte-order mark, which str.strip() keeps.
chars = st.one_of(
    st.sampled_from(WHITESPACE + "#=;:\ufeff\x00aé€北\U0001f600"),
    st.characters(blacklist_categories=("Cs",)))
piece = st.text(chars, max_size=6)
side = st.text(chars.filter(lambda c: c != "="), max_size=6)
padding = st.text(st.sampled_from(WHITESPACE), max_size=3)
setting = st.builds(lambda k, v: k + "=" + v, side, side)
body = st.one_of(
    st.just(""),                                            # blank
    piece.map(lambda s: "#" + s),                           # comment
    setting, setting, setting,
    st.lists(piece, min_size=1, max_size=4).map("=".join))  # 0 to 3 '='
line = st.builds(lambda *parts: "".join(parts), padding, body, padding,
                 st.sampled_from(["\n"] * 4 + ["\r\n", "\r", ""]))
# UTF-8 text, now and then with an undecodable byte somewhere in it.
param_file = st.builds(
    lambda raw, bad, at: raw[:at] + bad + raw[at:],
    st.lists(line, max_size=12).map(lambda ls: "".join(ls).encode()),
    st.sampled_from([b""] * 9 + [b"\xff"]), st.integers(0, 200))

# Examples per generated-file test: a few for the daily run, more in CI and
# many in `make fuzz`, which set FERNLAKE_FUZZ_EXAMPLES.
EXAMPLES = int(os.environ.get("FERNLAKE_FUZZ_EXAMPLES", "100"))
