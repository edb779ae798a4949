// Paths and directory trees, with sysInfo::pathSep as the separator.
//
// Free functions without shared state; thread-safe as far as the file system
// is. Failures return false (or -1), never throw. Directory listings are
// sorted by name within each directory; symbolic links are listed and removed
// as entries, never followed into.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rux {

// dir: everything before the last separator (a run of separators counts as
// one; the root stays "/"), name: everything after it (empty when the path
// ends in a separator). Without a separator dir is empty and name the path.
void splitPathName(const std::string& path, std::string& dir, std::string& name);
// Clears `list` and appends the non-empty components of the path's dir.
void parsePath(const std::string& path, std::vector<std::string>& list, std::string& name);
// As parsePath, but keeps empty components: an absolute path starts with "".
void parsePath2(const std::string& path, std::vector<std::string>& list, std::string& name);

// Makes the directory and every missing parent; existing entries of any kind
// are accepted on the way.
bool makeDirRec(const std::string& path);
bool makeDirRec(const char* path);

// Appends the entry names of one directory, without "." and "..".
bool listDir(const std::string& dir, std::vector<std::string>& list);
// Appends the relative path of every entry below dir; each directory comes
// before its contents.
bool listDirRec(const std::string& dir, std::vector<std::string>& list);
// Removes the tree below dir and dir itself; true when dir is gone. Nothing is
// removed when the tree cannot be listed.
bool removeDirRec(const std::string& dir);

// The absolute, normalised form of the path (which need not exist); symbolic
// links are not resolved. False (and `out` empty) for an empty path.
bool getRealPath(const std::string& path, std::string& out);

// Size in bytes (0 for a directory), -1 when the path cannot be read.
int64_t getFileSize(const std::string& path);

} // namespace rux
