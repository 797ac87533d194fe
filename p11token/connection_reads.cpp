// What each connection read, wrote or deleted of obkey's data objects, and
// why its last create of one failed: the checks of a read-modify-write
// spread over several calls.
#include "connection_reads.h"

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "p11token_os.h"
#include "p11token_status.h"

namespace obkey::p11token {

namespace {

// The value of each data object as the connection last read or wrote it
// (none: the connection deleted it). These tables are used under the tables
// lock.
using ConnectionName = std::pair<uint32_t, std::string>;
std::map<ConnectionName, std::optional<Bytes>> connection_reads;

// Why the connection's last create of an object failed, for the open that
// follows it.
std::map<ConnectionName, int32_t> failed_creates;

}  // namespace

void RememberRead(const Cryptoki &c, const std::string &label, const Bytes &value) {
  os::TablesGuard tables;
  if (c.connection != 0) connection_reads[{c.connection, label}] = value;
}

bool RememberedRead(const Cryptoki &c, const std::string &label, Bytes *out_value) {
  os::TablesGuard tables;
  auto it = connection_reads.find({c.connection, label});
  if (c.connection == 0 || it == connection_reads.end() || !it->second) return false;
  *out_value = *it->second;
  return true;
}

void RememberDeleted(const Cryptoki &c, const std::string &label) {
  os::TablesGuard tables;
  if (c.connection != 0) connection_reads[{c.connection, label}] = std::nullopt;
}

void RememberFailedCreate(const Cryptoki &c, const std::string &name, int32_t status) {
  os::TablesGuard tables;
  if (c.connection == 0) return;
  if (status == 0) {
    failed_creates.erase({c.connection, name});
  } else {
    failed_creates[{c.connection, name}] = status;
  }
}

int32_t OpenAfterFailedCreate(const Cryptoki &c, const std::string &name, int32_t open_status) {
  os::TablesGuard tables;
  auto it = failed_creates.find({c.connection, name});
  if (it == failed_creates.end()) return open_status;
  int32_t create_status = it->second;
  failed_creates.erase(it);
  // An overtaken create means that what the caller read before is out of
  // date, whatever the open finds: the caller starts again from a fresh read.
  return open_status != 0 || create_status == P11ST_CHANGED ? create_status : 0;
}

void ForgetRead(const Cryptoki &c, const std::string &label) {
  os::TablesGuard tables;
  connection_reads.erase({c.connection, label});
}

int32_t FileReadsHold(const Cryptoki &c, uint32_t read_now, const Bytes *read_value) {
  if (c.connection == 0) return 0;
  const std::string prefix = kFileLabelPrefix;
  const std::string read_now_label = FileLabel(read_now);
  std::vector<std::pair<std::string, std::optional<Bytes>>> kept;
  {
    os::TablesGuard tables;
    for (auto it = connection_reads.lower_bound({c.connection, prefix});
         it != connection_reads.end() && it->first.first == c.connection &&
         it->first.second.compare(0, prefix.size(), prefix) == 0;
         ++it) {
      kept.emplace_back(it->first.second, it->second);
    }
  }
  for (const auto &[label, value] : kept) {
    bool found = read_value != nullptr;
    Bytes now;
    int32_t status = 0;
    if (label == read_now_label) {
      if (found) now = *read_value;
    } else {
      status = ReadDataObject(c, label, &found, &now);
    }
    // A file the connection deleted must still be missing.
    bool holds = value ? found && now == *value : !found;
    if (status == 0 && holds) continue;
    if (status != 0 && status != P11ST_CHANGED) return status;
    for (const auto &forgotten : kept) ForgetRead(c, forgotten.first);
    return P11ST_CHANGED;
  }
  return 0;
}

void ForgetConnection(uint32_t connection) {
  os::TablesGuard tables;
  auto forget = [connection](auto *table) {
    auto first = table->lower_bound({connection, std::string()});
    auto last = first;
    while (last != table->end() && last->first.first == connection) ++last;
    table->erase(first, last);
  };
  forget(&connection_reads);
  forget(&failed_creates);
}

}  // namespace obkey::p11token
