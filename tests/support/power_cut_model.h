// A power-cut model of the file calls a program makes under one folder, with
// POSIX's promise alone: a file's data is on the disk once the file was
// flushed (fsync, fdatasync), a folder's entries (names made, replaced or
// removed) once the folder was flushed; anything else may be lost at a
// power cut, each unflushed item on its own. The calls reach the model
// through the test program's own open(), write(), rename() and the rest
// (file_faults.cpp).
//
// The model watches one file (a token store): after every change it lists
// the contents the file may have after a power cut at that moment, one per
// crash state, and checks each against the versions the file had since the
// last change the caller was told of (MarkAcknowledged). A state that holds
// none of them (the file missing, empty, torn, or an older version) loses
// an acknowledged change.
#ifndef OBKEY_TESTS_SUPPORT_POWER_CUT_MODEL_H
#define OBKEY_TESTS_SUPPORT_POWER_CUT_MODEL_H

#include <string>
#include <vector>

namespace obkey_test {

// StartPowerCutModel takes everything under `root` as it is now as flushed,
// and from now on applies every file call under it to the model, watching
// `watched` (a path under `root`; it may not exist yet).
void StartPowerCutModel(const std::string &root, const std::string &watched);

// MarkAcknowledged says that the caller was just told its change is done:
// from now on every crash state must hold the watched file's present
// version or a later one.
void MarkAcknowledged(const std::string &what);

struct PowerCutReport {
  int steps = 0;                    // changes applied to the model
  int crash_states = 0;             // crash states checked (over all steps)
  int acknowledged = 0;             // MarkAcknowledged calls
  int lost = 0;                     // crash states that lost an acknowledged change
  std::vector<std::string> losses;  // the first 20 of them, one line each
};

// StopPowerCutModel stops recording and returns what was found.
PowerCutReport StopPowerCutModel();

// Called by the interposed file calls (file_faults.cpp); they do nothing
// while no model runs. `fd` is the descriptor the call used or returned.
void ModelOpened(int fd, const char *path, int flags);
void ModelWrote(int fd, const void *data, long len, long long offset /* -1: the file offset */);
void ModelResized(int fd, long long len, bool grow_only);
void ModelFlushed(int fd);
void ModelClosed(int fd);
void ModelMadeFolder(const char *path);
void ModelRemoved(const char *path);
void ModelRenamed(const char *from, const char *to);

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_POWER_CUT_MODEL_H
