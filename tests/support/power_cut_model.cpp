#include "power_cut_model.h"

#include <fcntl.h>
#include <pthread.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>

namespace obkey_test {

namespace {

using Contents = std::optional<std::string>;  // nullopt: no such file

// Node is a file or a folder of the model, with what a power cut keeps of
// it: the data last flushed, the entries last flushed.
struct Node {
  bool folder = false;
  std::string data_now, data_flushed;
  std::map<std::string, int> entries_now, entries_flushed;
};

struct OpenFile {
  int node = 0;
  long long offset = 0;
};

struct Model {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  bool active = false;
  std::string root;
  std::vector<std::string> watched;  // its path below the root
  std::vector<Node> nodes;           // nodes[0] is the root
  std::map<int, OpenFile> open_files;
  std::vector<Contents> versions;  // of the watched file, oldest first
  size_t floor = 0;                // the first version a crash state may hold
  std::string since = "the start";
  PowerCutReport report;
};

Model &TheModel() {
  static Model *model = new Model;
  return *model;
}

// Read without the model's mutex: every file call of the program passes
// here, and most while no model runs.
std::atomic<bool> running{false};

// Held while a call changes the model, so that the model's own file reads
// (at its start) are not applied to it.
thread_local bool applying = false;

class Locked {
 public:
  Locked() : model_(TheModel()) { pthread_mutex_lock(&model_.mutex); }
  ~Locked() { pthread_mutex_unlock(&model_.mutex); }
  Model *operator->() { return &model_; }
  Model &get() { return model_; }

 private:
  Model &model_;
};

// Components splits a path under the root into its names; false for any
// path outside it.
bool Components(const Model &m, const char *path, std::vector<std::string> *out) {
  if (path == nullptr) return false;
  const std::string text = path;
  if (text.compare(0, m.root.size(), m.root) != 0) return false;
  if (text.size() > m.root.size() && text[m.root.size()] != '/') return false;
  out->clear();
  size_t start = m.root.size();
  while (start < text.size()) {
    size_t slash = text.find('/', start + 1);
    if (slash == std::string::npos) slash = text.size();
    std::string name = text.substr(start + 1, slash - start - 1);
    if (!name.empty() && name != ".") out->push_back(name);
    start = slash;
  }
  return true;
}

// Lookup resolves the first `count` names as the folders are now; -1 when
// missing.
int Lookup(const Model &m, const std::vector<std::string> &names, size_t count) {
  int node = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!m.nodes[node].folder) return -1;
    auto it = m.nodes[node].entries_now.find(names[i]);
    if (it == m.nodes[node].entries_now.end()) return -1;
    node = it->second;
  }
  return node;
}

// ParentOf resolves the folder that holds a path's last name.
int ParentOf(const Model &m, const std::vector<std::string> &names) {
  if (names.empty()) return -1;
  const int parent = Lookup(m, names, names.size() - 1);
  return parent >= 0 && m.nodes[parent].folder ? parent : -1;
}

Contents WatchedNow(const Model &m) {
  const int node = Lookup(m, m.watched, m.watched.size());
  if (node < 0 || m.nodes[node].folder) return std::nullopt;
  return m.nodes[node].data_now;
}

// CrashStates lists what the watched file may hold after a power cut now:
// each name on its way bound as now or as last flushed, and its data as now
// or as last flushed.
void CrashStates(const Model &m, int folder, size_t i, std::vector<Contents> *out) {
  const Node &f = m.nodes[folder];
  std::set<int> bindings;
  auto now = f.entries_now.find(m.watched[i]);
  auto flushed = f.entries_flushed.find(m.watched[i]);
  bindings.insert(now == f.entries_now.end() ? -1 : now->second);
  bindings.insert(flushed == f.entries_flushed.end() ? -1 : flushed->second);
  for (int node : bindings) {
    if (node < 0) {
      out->push_back(std::nullopt);
    } else if (i + 1 < m.watched.size()) {
      if (m.nodes[node].folder) {
        CrashStates(m, node, i + 1, out);
      } else {
        out->push_back(std::nullopt);
      }
    } else if (m.nodes[node].folder) {
      out->push_back(std::nullopt);
    } else {
      out->push_back(m.nodes[node].data_now);
      if (m.nodes[node].data_flushed != m.nodes[node].data_now) {
        out->push_back(m.nodes[node].data_flushed);
      }
    }
  }
}

std::string Describe(const Model &m, const Contents &state) {
  if (!state) return "the file is missing";
  for (size_t i = 0; i < m.versions.size(); ++i) {
    if (m.versions[i] == state) {
      return "it holds version " + std::to_string(i) + ", the newest acknowledged being " +
             std::to_string(m.floor);
    }
  }
  return "it holds " + std::to_string(state->size()) + " bytes that were never a version of it";
}

// Check lists the crash states after `step` and records those that hold
// no version from the last acknowledged one on.
void Check(Model &m, const std::string &step) {
  ++m.report.steps;
  std::vector<Contents> states;
  CrashStates(m, 0, 0, &states);
  for (const Contents &state : states) {
    ++m.report.crash_states;
    bool allowed = false;
    for (size_t i = m.floor; i < m.versions.size() && !allowed; ++i) {
      allowed = m.versions[i] == state;
    }
    if (!allowed) ++m.report.lost;
    if (!allowed && m.report.losses.size() < 20) {
      m.report.losses.push_back("a power cut after " + step + " (since " + m.since +
                                "): " + Describe(m, state));
    }
  }
}

void AfterChange(Model &m, const std::string &step) {
  Contents now = WatchedNow(m);
  if (now != m.versions.back()) m.versions.push_back(std::move(now));
  Check(m, step);
}

int NewNode(Model &m, bool folder) {
  m.nodes.emplace_back();
  m.nodes.back().folder = folder;
  return static_cast<int>(m.nodes.size() - 1);
}

// Scan takes the tree under `path` (node `node`) as flushed.
void Scan(Model &m, const std::filesystem::path &path, int node) {
  for (const auto &entry : std::filesystem::directory_iterator(path)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_symlink()) continue;
    if (entry.is_directory()) {
      const int child = NewNode(m, true);
      m.nodes[node].entries_now[name] = m.nodes[node].entries_flushed[name] = child;
      Scan(m, entry.path(), child);
    } else if (entry.is_regular_file()) {
      const int child = NewNode(m, false);
      std::ifstream in(entry.path(), std::ios::binary);
      m.nodes[child].data_now.assign(std::istreambuf_iterator<char>(in), {});
      m.nodes[child].data_flushed = m.nodes[child].data_now;
      m.nodes[node].entries_now[name] = m.nodes[node].entries_flushed[name] = child;
    }
  }
}

std::string LastName(const std::vector<std::string> &names) {
  return names.empty() ? "the root" : names.back();
}

}  // namespace

void StartPowerCutModel(const std::string &root, const std::string &watched) {
  Locked m;
  applying = true;
  m.get() = Model{};
  m->root = root;
  m->nodes.emplace_back();
  m->nodes[0].folder = true;
  Scan(m.get(), root, 0);
  Components(m.get(), watched.c_str(), &m->watched);
  m->versions.push_back(WatchedNow(m.get()));
  m->active = !m->watched.empty();
  running = m->active;
  applying = false;
}

void MarkAcknowledged(const std::string &what) {
  Locked m;
  if (!m->active) return;
  ++m->report.acknowledged;
  m->floor = m->versions.size() - 1;
  m->since = what;
  Check(m.get(), what + " returned");
}

PowerCutReport StopPowerCutModel() {
  Locked m;
  m->active = false;
  running = false;
  PowerCutReport report = m->report;
  m.get() = Model{};
  return report;
}

void ModelOpened(int fd, const char *path, int flags) {
  if (!running || applying) return;
  Locked m;
  std::vector<std::string> names;
  if (!m->active || !Components(m.get(), path, &names)) return;
  int node = names.empty() ? 0 : -1;
  bool changed = false;
  if (!names.empty()) {
    const int parent = ParentOf(m.get(), names);
    if (parent < 0) return;
    auto &entries = m->nodes[parent].entries_now;
    auto it = entries.find(names.back());
    if (it != entries.end()) {
      node = it->second;
      if ((flags & O_TRUNC) != 0 && !m->nodes[node].folder) {
        m->nodes[node].data_now.clear();
        changed = true;
      }
    } else if ((flags & O_CREAT) != 0) {
      node = NewNode(m.get(), false);
      m->nodes[parent].entries_now[names.back()] = node;
      changed = true;
    } else {
      return;
    }
  }
  m->open_files[fd] = OpenFile{node, 0};
  if (changed) AfterChange(m.get(), "creating " + LastName(names));
}

void ModelWrote(int fd, const void *data, long len, long long offset) {
  if (!running || applying || len <= 0) return;
  Locked m;
  if (!m->active) return;
  auto it = m->open_files.find(fd);
  if (it == m->open_files.end() || m->nodes[it->second.node].folder) return;
  std::string &now = m->nodes[it->second.node].data_now;
  const long long at = offset >= 0 ? offset : it->second.offset;
  if (now.size() < static_cast<size_t>(at + len)) now.resize(static_cast<size_t>(at + len), '\0');
  now.replace(static_cast<size_t>(at), static_cast<size_t>(len), static_cast<const char *>(data),
              static_cast<size_t>(len));
  if (offset < 0) it->second.offset += len;
  AfterChange(m.get(), "a write");
}

void ModelResized(int fd, long long len, bool grow_only) {
  if (!running || applying) return;
  Locked m;
  if (!m->active) return;
  auto it = m->open_files.find(fd);
  if (it == m->open_files.end() || m->nodes[it->second.node].folder) return;
  std::string &now = m->nodes[it->second.node].data_now;
  if (grow_only && now.size() >= static_cast<size_t>(len)) return;
  now.resize(static_cast<size_t>(len), '\0');
  AfterChange(m.get(), "a change of size");
}

void ModelFlushed(int fd) {
  if (!running || applying) return;
  Locked m;
  if (!m->active) return;
  auto it = m->open_files.find(fd);
  if (it == m->open_files.end()) return;
  Node &node = m->nodes[it->second.node];
  if (node.folder) {
    node.entries_flushed = node.entries_now;
  } else {
    node.data_flushed = node.data_now;
  }
  AfterChange(m.get(), node.folder ? "a folder flush" : "a file flush");
}

void ModelClosed(int fd) {
  if (!running || applying) return;
  Locked m;
  if (m->active) m->open_files.erase(fd);
}

void ModelMadeFolder(const char *path) {
  if (!running || applying) return;
  Locked m;
  std::vector<std::string> names;
  if (!m->active || !Components(m.get(), path, &names)) return;
  const int parent = ParentOf(m.get(), names);
  if (parent < 0) return;
  const int folder = NewNode(m.get(), true);
  m->nodes[parent].entries_now[names.back()] = folder;
  AfterChange(m.get(), "making the folder " + names.back());
}

void ModelRemoved(const char *path) {
  if (!running || applying) return;
  Locked m;
  std::vector<std::string> names;
  if (!m->active || !Components(m.get(), path, &names)) return;
  const int parent = ParentOf(m.get(), names);
  if (parent < 0) return;
  m->nodes[parent].entries_now.erase(names.back());
  AfterChange(m.get(), "removing " + names.back());
}

void ModelRenamed(const char *from, const char *to) {
  if (!running || applying) return;
  Locked m;
  std::vector<std::string> from_names, to_names;
  if (!m->active || !Components(m.get(), from, &from_names) ||
      !Components(m.get(), to, &to_names)) {
    return;
  }
  const int from_parent = ParentOf(m.get(), from_names);
  const int to_parent = ParentOf(m.get(), to_names);
  if (from_parent < 0 || to_parent < 0) return;
  auto &entries = m->nodes[from_parent].entries_now;
  auto it = entries.find(from_names.back());
  if (it == entries.end()) return;
  const int node = it->second;
  entries.erase(it);
  m->nodes[to_parent].entries_now[to_names.back()] = node;
  AfterChange(m.get(), "renaming " + from_names.back() + " to " + to_names.back());
}

}  // namespace obkey_test
