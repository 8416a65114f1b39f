#include "storage/archive_writer.h"

#include <set>

#include "base/bytes.h"
#include "storage/archive_directory.h"

namespace storage {

size_t directory_entry_size(size_t name_length) {
  return 4 + (name_length + 1 > kEntryMinNameBytes ? name_length + 1 : kEntryMinNameBytes);
}

bool write_archive(const std::vector<ArchiveMember>& members, std::string& out, std::string& error) {
  std::set<std::string> seen;
  std::vector<std::string> names;
  uint64_t dir_bytes = directory_entry_size(0);  // the closing all-zero entry
  uint64_t data_bytes = 0;
  for (const ArchiveMember& m : members) {
    std::string name = m.name;
    for (char& c : name)
      if (c >= 'A' && c <= 'Z') c = char(c + 32);
    if (name.empty()) {
      error = "a member name is empty";
      return false;
    }
    if (name.find('\0') != std::string::npos) {
      error = "member name '" + name.substr(0, name.find('\0')) + "...' contains a NUL byte";
      return false;
    }
    if (!seen.insert(name).second) {
      error = "two members are both named '" + name + "'";
      return false;
    }
    dir_bytes += directory_entry_size(name.size());
    data_bytes += 4 + uint64_t(m.data.size());
    names.push_back(std::move(name));
  }
  if (dir_bytes > kMaxDirectoryBytes) {
    error = "the directory would take " + std::to_string(dir_bytes) + " bytes; at most " +
            std::to_string(kMaxDirectoryBytes) + " fit (fewer members or shorter names)";
    return false;
  }
  if (2 + dir_bytes + data_bytes > 0xffffffffull) {
    error = "the archive would pass 4 GiB, beyond its 32-bit offsets";
    return false;
  }

  out.clear();
  out.reserve(size_t(2 + dir_bytes + data_bytes));
  base::append_le16(out, uint16_t(dir_bytes));
  uint64_t offset = 2 + dir_bytes;
  for (size_t i = 0; i < members.size(); i++) {
    base::append_le32(out, uint32_t(offset));
    out += names[i];
    out.append(directory_entry_size(names[i].size()) - 4 - names[i].size(), '\0');
    offset += 4 + members[i].data.size();
  }
  out.append(directory_entry_size(0), '\0');
  for (const ArchiveMember& m : members) {
    base::append_le32(out, uint32_t(m.data.size()));
    out += m.data;
  }
  return true;
}

}  // namespace storage
