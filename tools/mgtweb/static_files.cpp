#include "static_files.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace mgtweb {

namespace {

std::string type_of(const std::filesystem::path &p) {
  static const std::map<std::string, std::string> types = {
      {".html", "text/html; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"}, {".svg", "image/svg+xml"},
      {".png", "image/png"}, {".txt", "text/plain; charset=utf-8"}};
  auto it = types.find(p.extension().string());
  return it == types.end() ? "application/octet-stream" : it->second;
}

}  // namespace

bool StaticFiles::load(const std::string &dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream body;
    body << in.rdbuf();
    std::string url(1, '/');  // appended, not "/" + string: GCC 12 warns falsely on that
    url += fs::relative(it->path(), dir, ec).generic_string();
    files_[url] = {type_of(it->path()), body.str()};
  }
  return files_.count("/index.html") != 0;
}

const StaticFile *StaticFiles::find(const std::string &path) const {
  auto it = files_.find(path == "/" ? "/index.html" : path);
  return it == files_.end() ? nullptr : &it->second;
}

}  // namespace mgtweb
