// How often each shortcut has run in this process. The tests read these
// counts through the module's file (the one symbol it exports besides its
// entry point) to tell that every shortcut is on where it should be, on
// every interpreter version, with nothing a caller of the module could
// see. A shortcut whose guard never held would pass every comparison with
// the general path, and only cost speed.
#ifndef FERNLAKE_PLUGINS_PATH_COUNTS_HPP
#define FERNLAKE_PLUGINS_PATH_COUNTS_HPP

#include <cstdint>

extern "C" {

struct FernlakeParamPathCounts {
    std::uint64_t comment_test;  // re.search("^#", line) computed
    std::uint64_t split;         // re.split("=", line) computed
    std::uint64_t strip;         // str.strip run without its bound method
    std::uint64_t own_store;     // an instance dictionary read directly
    std::uint64_t own_read;      // __init__ ran read_param's body directly
    std::uint64_t keys_test;     // membership tested on the dictionary
    std::uint64_t class_slot;    // a slot of the class reached a body
    std::uint64_t whole_text;    // a file's whole text stood for its lines
};

extern FernlakeParamPathCounts fernlake_param_path_counts;

}

// Counts one run of the shortcut `field`.
#define PARAM_COUNT_PATH(field) (fernlake_param_path_counts.field++)

#endif
