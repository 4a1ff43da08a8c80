#include "vdd_settings/vdd_settings.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tvr_vdd {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

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
  if (text.size() <= 5) return false;
  size_t at = 0;
  for (;;) {
    at = text.find("<count", at);
    if (at == std::string_view::npos) return false;
    const size_t next = at + 6;
    if (next < text.size() && (text[next] == '\t' || text[next] == ' ' || text[next] == '>') &&
        !InsideComment(text, at)) {
      break;
    }
    at = next;
  }
  const size_t gt = text.find('>', at);
  if (gt == std::string_view::npos) return false;
  const size_t end = text.find("</count>", gt + 1);
  if (end == std::string_view::npos) return false;
  std::string_view value = text.substr(gt + 1, end - gt - 1);
  while (!value.empty() && IsSpace(value.front())) value.remove_prefix(1);
  while (!value.empty() && IsSpace(value.back())) value.remove_suffix(1);
  if (value.empty() || value.size() > 6) return false;
  uint32_t n = 0;
  for (const char c : value) {
    if (!IsDigit(c)) return false;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n < 1 || n > 100000) return false;
  *count = n;
  return true;
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
