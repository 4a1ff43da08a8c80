#include "vdd_settings/vdd_settings.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "vdd_settings/settings_text.h"

namespace tvr_vdd {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string SettingsFileInFolder(std::string_view folder) {
  if (folder.empty()) folder = kDefaultSettingsFolder;
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.remove_suffix(1);
  std::string path(folder);
  path.push_back(kPathSeparator);
  path += kSettingsFileName;
  return path;
}

bool InsideComment(std::string_view text, size_t position) {
  if (position >= text.size()) position = text.size();
  // The last "<!--" that starts at or before the position.
  const size_t open = text.rfind("<!--", position);
  if (open == std::string_view::npos) return false;
  const size_t close = text.find("-->", open + 4);
  return close == std::string_view::npos || close > position;
}

bool ReadMonitorCount(std::string_view text, uint32_t* count) {
  const CountElement element = FindCountElement(text);
  if (!element.found) return false;
  std::string_view value =
      text.substr(element.content_begin, element.content_end - element.content_begin);
  while (!value.empty() && IsSpace(value.front())) value.remove_prefix(1);
  while (!value.empty() && IsSpace(value.back())) value.remove_suffix(1);
  return ParseMonitorCountText(value, count);
}

SettingsText ReadSettingsText(const std::string& path) {
  SettingsText result;
  const std::filesystem::path file = std::filesystem::u8path(path);
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec || size > kMaxSettingsFileBytes) return result;
  std::ifstream in(file, std::ios::binary);
  if (!in) return result;
  std::string text(static_cast<size_t>(size), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.gcount() != static_cast<std::streamsize>(text.size())) return result;
  // The file grew meanwhile: a longer one is not taken.
  if (in.peek() != std::char_traits<char>::eof()) return result;
  result.opened = true;
  result.text = std::move(text);
  return result;
}

}  // namespace tvr_vdd
