// Trees of files for tests, made and removed without a shell.
#ifndef ZELMIR_TESTS_SUPPORT_FILES_H
#define ZELMIR_TESTS_SUPPORT_FILES_H

#include <string>

namespace testsupport {

// Removes path and everything below it, never crossing into another mount;
// true when nothing of it is left (also when it was not there).
bool remove_tree(const std::string& path);

// Makes the directory path and any missing parents; true when it is a
// directory afterwards.
bool make_dirs(const std::string& path);

}  // namespace testsupport

#endif  // ZELMIR_TESTS_SUPPORT_FILES_H
