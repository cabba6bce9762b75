// The module's process-wide objects: the name table, the cached builtins
// and the cached constants, among them one code object per method.
#ifndef FERNLAKE_PLUGINS_NAMES_HPP
#define FERNLAKE_PLUGINS_NAMES_HPP

#include <Python.h>

#include "source_positions.hpp"
#include "support/interpreter.hpp"

namespace fernlake {

// Every text the module uses, made once at execution and hashed at once.
// NAME: an interned identifier; TEXT: a plain text constant;
// INTERNED_TEXT: an interned text constant; FILE: the source file name.
#define PARAM_NAME_TABLE(X)                                                  \
    X(str_comment_pattern, "^#", TEXT)                                       \
    X(str_empty, "", TEXT)                                                   \
    X(str_eq, "=", TEXT)                                                     \
    X(str_source_file, PARAM_SOURCE_FILE, FILE)                              \
    X(str_r, "r", INTERNED_TEXT)                                             \
    X(str_Parameter, "Parameter", NAME)                                      \
    X(str_Parameter___init__, "Parameter.__init__", NAME)                    \
    X(str_Parameter___getitem__, "Parameter.__getitem__", NAME)              \
    X(str_Parameter___setitem__, "Parameter.__setitem__", NAME)              \
    X(str_Parameter_read_param, "Parameter.read_param", NAME)                \
    X(str___init__, "__init__", NAME)                                        \
    X(str___getitem__, "__getitem__", NAME)                                  \
    X(str___setitem__, "__setitem__", NAME)                                  \
    X(str_read_param, "read_param", NAME)                                    \
    X(str_self, "self", NAME)                                                \
    X(str_path, "path", NAME)                                                \
    X(str_key, "key", NAME)                                                  \
    X(str_value, "value", NAME)                                              \
    X(str_f, "f", NAME)                                                      \
    X(str_lines, "lines", NAME)                                              \
    X(str_l, "l", NAME)                                                      \
    X(str_numpy, "numpy", NAME)                                              \
    X(str_np, "np", NAME)                                                    \
    X(str_pandas, "pandas", NAME)                                            \
    X(str_pd, "pd", NAME)                                                    \
    X(str_os, "os", NAME)                                                    \
    X(str_sys, "sys", NAME)                                                  \
    X(str_re, "re", NAME)                                                    \
    X(str_module_name, PARAM_MODULE_NAME, NAME)                              \
    X(str_KeyError, "KeyError", NAME)                                        \
    X(str_open, "open", NAME)                                                \
    X(str___module__, "__module__", NAME)                                    \
    X(str___qualname__, "__qualname__", NAME)                                \
    X(str_return, "return", NAME)                                            \
    X(str___test__, "__test__", NAME)                                        \
    X(str___dict__, "__dict__", NAME)                                        \
    X(str_keys, "keys", NAME)                                                \
    X(str_readlines, "readlines", NAME)                                      \
    X(str_strip, "strip", NAME)                                              \
    X(str_search, "search", NAME)                                            \
    X(str_split, "split", NAME)                                              \
    X(str___enter__, "__enter__", NAME)                                      \
    X(str___exit__, "__exit__", NAME)                                        \
    X(str___instancecheck__, "__instancecheck__", NAME)                      \
    X(str__compile, "_compile", NAME)                                        \
    X(str_RegexFlag, "RegexFlag", NAME)                                      \
    X(str_isinstance, "isinstance", NAME)                                    \
    X(str_type, "type", NAME)                                                \
    X(str_maxsplit, "maxsplit", NAME)                                        \
    X(str_flags, "flags", NAME)                                              \
    X(str__sre, "_sre", NAME)                                                \
    X(str_compile, "compile", NAME)                                          \
    X(str__io, "_io", NAME)                                                  \
    X(str_TextIOWrapper, "TextIOWrapper", NAME)                              \
    X(str_BufferedReader, "BufferedReader", NAME)                            \
    X(str_encoding, "encoding", NAME)                                        \
    X(str_buffer, "buffer", NAME)                                            \
    X(str_read, "read", NAME)                                                \
    X(str_seek, "seek", NAME)                                                \
    X(str_seekable, "seekable", NAME)                                        \
    X(str_readinto, "readinto", NAME)                                        \
    X(str_tell, "tell", NAME)                                                \
    X(str_fileno, "fileno", NAME)                                            \
    X(str_errors, "errors", NAME)                                            \
    X(str_strict, "strict", INTERNED_TEXT)                                   \
    X(str_decode, "decode", NAME)                                            \
    X(str_FileIO, "FileIO", NAME)                                            \
    X(str_IncrementalNewlineDecoder, "IncrementalNewlineDecoder", NAME)     \
    X(str___class__, "__class__", NAME)                                      \
    X(str_pattern, "pattern", NAME)                                          \
    X(str_groups, "groups", NAME)

#define PARAM_DECLARE_NAME(c_name, text, kind) extern PyObject *c_name;
PARAM_NAME_TABLE(PARAM_DECLARE_NAME)
#undef PARAM_DECLARE_NAME

/// Makes every object of the name table, interned where it is a name, and
/// hashes it. 0, or -1 with an exception set.
int build_names() noexcept;

// Builtins looked up once at execution; rebinding them later has no effect.
extern PyObject *builtin_KeyError;
extern PyObject *builtin_open;

/// Looks up the cached builtins. 0, or -1 with NameError set.
int cache_builtins() noexcept;

// Made first at execution: the bases of the class.
extern PyObject *empty_tuple;

/// Makes the empty tuple. 0, or -1 with an exception set.
int build_empty_tuple() noexcept;

// The arguments of __exit__ at a normal end of the reader's with-block.
extern PyObject *exit_args;

/// Builds the cached constants: the exit arguments, then the code object of
/// each method, kept in its record. 0, or -1 with an exception set.
int build_constants() noexcept;

}  // namespace fernlake

#endif
