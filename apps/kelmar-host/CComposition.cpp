// Loading and saving the composition file.
#include "CComposition.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {
constexpr char kPatchName[] = "Kelmar Network";

std::string Why(std::string const& path, std::string const& problem) {
  return "composition file '" + path + "': " + problem;
}

// One patch object into `patch`; false with the problem otherwise. `noun` names what the
// object stands for ("composition" for the single-patch form, "patch" in a list).
bool ParsePatch(nlohmann::json const& j, char const* noun, SPatchRecord* patch,
                std::string* problem) {
  // Compared as JSON: a "patch" that is not a string is simply not ours (value() would throw).
  if (!j.is_object() || !j.contains("patch") || j["patch"] != kPatchName) {
    *problem = std::string("not a \"Kelmar Network\" ") + noun +
               " (its \"patch\" field is missing or different)";
    return false;
  }
  for (auto const* section : {"settings", "inputs"}) {
    if (!j.contains(section)) continue;
    auto const& obj = j[section];
    if (!obj.is_object()) {
      *problem = std::string("\"") + section + "\" is not an object";
      return false;
    }
    for (auto const& [key, value] : obj.items()) {
      if (!value.is_number()) {
        *problem = std::string("\"") + section + "." + key + "\" is not a number";
        return false;
      }
      (std::strcmp(section, "settings") == 0 ? patch->settings : patch->inputs)[key] =
          value.get<double>();
    }
  }
  for (auto const& [key, universe] :
       {std::pair{"olaIn", &patch->olaIn}, std::pair{"olaOut", &patch->olaOut}}) {
    if (!j.contains(key)) continue;
    // Whole numbers only: 1.0 and -1 are as wrong as "1".
    auto const& value = j[key];
    if (!value.is_number_unsigned() ||
        value.get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
      *problem = std::string("\"") + key + "\" is not a universe number 0.." +
                 std::to_string(std::numeric_limits<std::uint32_t>::max()) + ": " + value.dump();
      return false;
    }
    *universe = value.get<std::uint32_t>();
  }
  return true;
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
  return Parse(text.str(), path, error);
}

bool CComposition::Parse(std::string const& text, std::string const& path, std::string* error) {
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(text);
  } catch (nlohmann::json::parse_error const& e) {
    *error = Why(path, std::string("not valid JSON: ") + e.what());
    return false;
  }
  std::vector<SPatchRecord> list;
  std::string problem;
  if (j.is_object() && j.contains("patches")) {
    if (j.contains("patch")) {
      *error = Why(path, "holds both \"patch\" and \"patches\"; a list holds every patch");
      return false;
    }
    auto const& items = j["patches"];
    if (!items.is_array() || items.empty()) {
      *error = Why(path, "\"patches\" is not a list of at least one patch");
      return false;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      list.emplace_back();
      if (!ParsePatch(items[i], "patch", &list.back(), &problem)) {
        *error = Why(path, "patch " + std::to_string(i + 1) + " (patches[" + std::to_string(i) +
                               "]): " + problem);
        return false;
      }
    }
  } else {
    // The single-patch form: the one patch is the whole file.
    list.emplace_back();
    if (!ParsePatch(j, "composition", &list.back(), &problem)) {
      *error = Why(path, problem);
      return false;
    }
  }
  patches = std::move(list);
  return true;
}

std::string CComposition::Text() const {
  nlohmann::json list = nlohmann::json::array();
  for (SPatchRecord const& patch : patches) {
    nlohmann::json j;
    j["patch"] = kPatchName;
    j["settings"] = nlohmann::json::object();
    for (auto const& [k, v] : patch.settings) j["settings"][k] = static_cast<long>(v);  // integers
    j["inputs"] = nlohmann::json::object();
    for (auto const& [k, v] : patch.inputs) j["inputs"][k] = v;
    if (patch.olaIn) j["olaIn"] = *patch.olaIn;
    if (patch.olaOut) j["olaOut"] = *patch.olaOut;
    list.push_back(std::move(j));
  }
  return nlohmann::json{{"patches", std::move(list)}}.dump(2) + "\n";
}

bool CComposition::Save(std::string const& path, std::string* error) const {
  const std::string text = Text();
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

void SPatchRecord::Capture(QCPlugIn& plugIn) {
  settings.clear();
  for (auto const& key : plugIn.savedKeys())
    settings[key] = QCDoubleValue(plugIn.serializedValueForKey(key));
  // Values of ports that no longer exist are kept: a later range may bring them back.
  for (auto const& port : plugIn.inputPorts()) inputs[port.key] = QCDoubleValue(port.value);
}

void SPatchRecord::Restore(QCPlugIn& plugIn) const {
  for (auto const& key : plugIn.savedKeys())
    if (auto it = settings.find(key); it != settings.end())
      plugIn.setSerializedValueForKey(it->second, key);
  for (auto const& [key, value] : inputs) plugIn.setValueForInputKey(value, key);
}
