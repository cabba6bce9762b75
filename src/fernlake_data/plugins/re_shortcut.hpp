// The reader's two uses of `re` computed directly: while `re` and all that
// re.search("^#", line) and re.split("=", line) reach are as they were
// when the module imported `re`, a line is a comment when it begins with
// '#', and its pieces are the texts around each '='.
#ifndef FERNLAKE_PLUGINS_RE_SHORTCUT_HPP
#define FERNLAKE_PLUGINS_RE_SHORTCUT_HPP

#include <Python.h>

#include "support/lookup.hpp"

namespace fernlake {

/// Captures the `re` that module execution bound, with the functions and
/// objects that its search and split use. When `re` is not the standard
/// module as it was installed (a search or split replaced before the
/// import, say), nothing is captured and the shortcut stays off.
void capture_re() noexcept;

/// True while the reader's calls of re.search("^#", line) and
/// re.split("=", line) on an exact str would run the captured functions of
/// the captured `re`, on compiled patterns in its cache, with nothing a
/// caller could observe but their result: `re` resolves through the
/// reader's memos (`search_memo`, `split_memo`, refreshed here as the calls
/// would refresh them) to the captured module; its namespace, its pattern
/// cache and its builtins still hold what they held when last checked;
/// the functions' code and defaults are unchanged; no trace or profile
/// function is set; and the recursion limit is not within reach of the
/// calls. No error is ever set.
bool re_shortcut_holds(support::DictMemo &search_memo,
                       support::DictMemo &split_memo) noexcept;

}  // namespace fernlake

#endif
