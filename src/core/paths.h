// Path helpers for the files of a store.
#pragma once

#include <string>
#include <string_view>

namespace sorvid {

// The directory that holds `path`: the text before its last '/', "/" for a
// file in the root, "." for a bare file name. Used to sync a directory after
// a rename in it, and to place temporary files beside the file they replace.
std::string directory_of(std::string_view path);

}  // namespace sorvid
