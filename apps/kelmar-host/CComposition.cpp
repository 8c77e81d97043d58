// Loading and saving the composition file.
#include "CComposition.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {
constexpr char kPatchName[] = "Kelmar Network";

std::string Why(std::string const& path, std::string const& problem) {
  return "composition file '" + path + "': " + problem;
}
}  // namespace

bool CComposition::Load(std::string const& path, bool* exists, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  *exists = in.is_open() || errno != ENOENT;
  if (!in.is_open()) {
    if (!*exists) return true;
    *error = Why(path, std::strerror(errno));
    return false;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    *error = Why(path, "is a folder");
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    *error = Why(path, "cannot be read");
    return false;
  }
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(text.str());
  } catch (nlohmann::json::parse_error const& e) {
    *error = Why(path, std::string("not valid JSON: ") + e.what());
    return false;
  }
  // Compared as JSON: a "patch" that is not a string is simply not ours (value() would throw).
  if (!j.is_object() || !j.contains("patch") || j["patch"] != kPatchName) {
    *error = Why(
        path, "not a \"Kelmar Network\" composition (its \"patch\" field is missing or different)");
    return false;
  }
  std::map<std::string, double> s, ins;
  for (auto const* section : {"settings", "inputs"}) {
    if (!j.contains(section)) continue;
    auto const& obj = j[section];
    if (!obj.is_object()) {
      *error = Why(path, std::string("\"") + section + "\" is not an object");
      return false;
    }
    for (auto const& [key, value] : obj.items()) {
      if (!value.is_number()) {
        *error = Why(path, std::string("\"") + section + "." + key + "\" is not a number");
        return false;
      }
      (std::strcmp(section, "settings") == 0 ? s : ins)[key] = value.get<double>();
    }
  }
  settings = std::move(s);
  inputs = std::move(ins);
  return true;
}

bool CComposition::Save(std::string const& path, std::string* error) const {
  nlohmann::json j;
  j["patch"] = kPatchName;
  j["settings"] = nlohmann::json::object();
  for (auto const& [k, v] : settings) j["settings"][k] = static_cast<long>(v);  // integers
  j["inputs"] = nlohmann::json::object();
  for (auto const& [k, v] : inputs) j["inputs"][k] = v;
  const std::string text = j.dump(2) + "\n";

  const std::string tmp = path + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = Why(path, std::string("cannot write ") + tmp + ": " + std::strerror(errno));
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool ok = done == text.size() && fsync(fd) == 0;
  const int err = errno;
  close(fd);
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    *error = Why(path, std::string("cannot save: ") + std::strerror(ok ? errno : err));
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

void CComposition::Capture(QCPlugIn& plugIn) {
  settings.clear();
  for (auto const& key : plugIn.savedKeys())
    settings[key] = QCDoubleValue(plugIn.serializedValueForKey(key));
  // Values of ports that no longer exist are kept: a later range may bring them back.
  for (auto const& port : plugIn.inputPorts()) inputs[port.key] = QCDoubleValue(port.value);
}

void CComposition::Restore(QCPlugIn& plugIn) const {
  for (auto const& key : plugIn.savedKeys())
    if (auto it = settings.find(key); it != settings.end())
      plugIn.setSerializedValueForKey(it->second, key);
  for (auto const& [key, value] : inputs) plugIn.setValueForInputKey(value, key);
}
