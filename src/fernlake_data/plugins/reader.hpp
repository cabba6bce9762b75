// The method read_param: its record, and what the reader captures at
// module execution for its shortcuts.
#ifndef FERNLAKE_PLUGINS_READER_HPP
#define FERNLAKE_PLUGINS_READER_HPP

#include "support/method_record.hpp"

namespace fernlake {

/// The record of read_param, defined at the end of reader.cpp.
extern support::MethodRecord method_read_param;

/// Captures, once `re` is imported, the functions whose work the reader
/// does directly while they are unchanged: str.strip and the captures of
/// capture_re(). What is not as the shortcuts need it leaves them off.
/// 0, or -1 with an exception set when capturing failed.
int capture_reader_shortcuts() noexcept;

}  // namespace fernlake

#endif
