// The page's files, read once at start and served from memory: only what
// was in the UI directory then can ever be served.
#pragma once

#include <map>
#include <string>

namespace mgtweb {

struct StaticFile {
  std::string type, body;
};

class StaticFiles {
 public:
  // Loads every regular file below dir; false when there is none.
  bool load(const std::string &dir);
  // The file for a URL path ("/" is index.html), or null.
  const StaticFile *find(const std::string &path) const;

 private:
  std::map<std::string, StaticFile> files_;
};

}  // namespace mgtweb
