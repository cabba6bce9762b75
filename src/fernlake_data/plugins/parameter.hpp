// The class Parameter as module execution made it, and its operation
// slots for item access, item assignment and construction, which reach the
// method bodies directly.
#ifndef FERNLAKE_PLUGINS_PARAMETER_HPP
#define FERNLAKE_PLUGINS_PARAMETER_HPP

#include <Python.h>

namespace fernlake {

/// Takes over the class just made from its namespace (borrowed), without
/// holding it: watches it with a weak reference, so that its shortcuts end
/// with it, and gives it operation slots of its own for item access, item
/// assignment and construction. The interpreter puts its
/// generic slot back as soon as the method of that name is reassigned on
/// the class, and a subclass gets the generic slots, so these run only
/// while the class attribute is the module's own function. 0, or -1 with
/// an exception set, the class then left as it was made.
int adopt_class(PyObject *cls) noexcept;

/// True when an item assignment of a str key and value on `target` runs no
/// code of a caller's, but for comparisons with keys of its own that are no
/// str: `target` is an exact dict, or exactly a Parameter whose item
/// assignment is still the class's own.
bool stores_plainly(PyObject *target) noexcept;

}  // namespace fernlake

#endif
