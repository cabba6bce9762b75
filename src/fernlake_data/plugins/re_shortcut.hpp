// The reader's two uses of `re` computed directly: while `re` and all that
// re.search("^#", line) and re.split("=", line) reach are the standard
// module's own and do only what their text says, a line is a comment when
// it begins with '#', and its pieces are the texts around each '='.
#ifndef FERNLAKE_PLUGINS_RE_SHORTCUT_HPP
#define FERNLAKE_PLUGINS_RE_SHORTCUT_HPP

#include <Python.h>

namespace fernlake {

/// Captures the `re` that module execution bound, and makes the compiled
/// patterns of "^#" and "=" that re's cache must hold for the shortcut,
/// without running any code of re's (through _sre's compile, from their
/// compiled form). When `re` is no module, or _sre not the one it uses,
/// the shortcut stays off. 0, or -1 with an exception set when memory ran
/// out; a later execution captures anew.
int capture_re() noexcept;

/// Whether the reader's calls re.search("^#", line) and re.split("=", line)
/// on an exact str, made by the running thread `t`, with `re` (borrowed)
/// the object the reader resolved for the call, would run re's standard functions on compiled patterns in its
/// cache, with nothing a caller could observe but their result: `re` is
/// the captured module; its search, split and _compile are the standard
/// ones (their code, by digest) with their standard defaults; every global
/// name they use on that path resolves to the standard object; the cache
/// holds the two patterns, and comparing its keys runs no code; no trace
/// or profile function is set and no sys.monitoring tool could be told of
/// their events; no asynchronous exception waits for this thread; and the
/// recursion limit is not within reach of the calls. 1 when all that
/// holds, 0 when the general path must run, -1 with an exception set when
/// the monitoring state could not be read or memory ran out.
///
/// The state of re's dictionaries is checked in full only when one of them
/// has changed (their stamps); what no stamp covers (functions' code and
/// defaults, classes of objects that re's lookups compare, the thread's
/// state) is checked at every call, and the monitoring state once per
/// read, whenever the interpreter shows that it may have changed, and
/// after recheck_monitoring().
int re_shortcut_holds(PyObject *re, PyThreadState *t) noexcept;

/// Makes the next re_shortcut_holds() ask the monitoring state anew: at the
/// start of each read, and after any point of a read where code of a
/// caller's may have run (other threads, a general path).
void recheck_monitoring() noexcept;

}  // namespace fernlake

#endif
