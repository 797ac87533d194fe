// Faults and a trace in the file calls a token library makes, for the tests
// of its commits. A program linked with this library has its own rename(),
// fsync() and the other calls that change files (on Linux, ahead of the C
// library's for every library the program loads), which pass each call on
// unless told to fail it, and feed the power-cut model (power_cut_model.h).
#ifndef OBKEY_TESTS_SUPPORT_FILE_FAULTS_H
#define OBKEY_TESTS_SUPPORT_FILE_FAULTS_H

#include <string>
#include <vector>

namespace obkey_test {

// FailRenamesFrom makes the `first`-th rename from now (1: the next one) and
// every later one fail with EIO, as on a full or failing disk; 0 lets every
// rename through again.
void FailRenamesFrom(int first);

// FailFolderFlushes makes every fsync() of a folder fail with EIO (true)
// or lets them through again (false).
void FailFolderFlushes(bool fail);

// RenamesSeen counts the renames tried since the last FailRenamesFrom.
int RenamesSeen();

// CountOpensOf starts counting the open() calls of a file whose last path
// component is `name`; OpensCounted says how many there were since.
void CountOpensOf(const std::string &name);
int OpensCounted();

// StartFileTrace clears the trace; FileTrace then lists every fsync and
// rename since, as "fsync NAME" and "rename FROM TO", each name the last
// component of its path (a folder's fsync names the folder).
void StartFileTrace();
std::vector<std::string> FileTrace();

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_FILE_FAULTS_H
