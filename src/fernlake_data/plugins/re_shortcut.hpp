// The reader's two uses of `re` computed directly: while `re` and all that
// re.search("^#", line) and re.split("=", line) reach are as they were
// when the module imported `re`, a line is a comment when it begins with
// '#', and its pieces are the texts around each '='.
#ifndef FERNLAKE_PLUGINS_RE_SHORTCUT_HPP
#define FERNLAKE_PLUGINS_RE_SHORTCUT_HPP

#include <Python.h>

namespace fernlake {

/// Captures the `re` that module execution bound, with the functions and
/// objects that its search and split use, and the compile function of its
/// compiler, which makes the two patterns apart from re's cache to compare
/// the cached ones with. When `re` is not the standard module as it was
/// installed (a search or split replaced before the import, say), the
/// shortcut stays off. 0, or -1 with an exception set when capturing
/// failed; a later execution captures anew.
int capture_re() noexcept;

/// True while the reader's calls of re.search("^#", line) and
/// re.split("=", line) on an exact str, with `re` (borrowed) the object the
/// reader resolved for the call, would run the captured functions of the
/// captured `re`, on compiled patterns in its cache, with nothing a caller
/// could observe but their result: `re` is the captured module; its
/// namespace, its pattern cache and its builtins still hold what they held
/// when last checked, so that every global name of its functions resolves
/// as it did at the capture; the functions' code and defaults are
/// unchanged; no trace or profile function is set; no asynchronous
/// exception waits for this thread; and the recursion limit is not within
/// reach of the calls. No error is ever set.
bool re_shortcut_holds(PyObject *re) noexcept;

}  // namespace fernlake

#endif
