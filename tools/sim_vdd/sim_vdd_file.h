#pragma once
// The few file calls of the world file that differ between the platforms:
// an exclusive lock on a lock file, a write that reaches the disk, and a
// move over an existing file. sim_vdd_file_linux.cpp / sim_vdd_file_win.cpp;
// when each is used is decided in sim_vdd_world_file.cpp.

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace orvane::sim_vdd::detail {

// Opens (creating it) and locks the file exclusively, waiting while another
// process holds it. -1 on failure, with the system error.
intptr_t LockPath(const std::filesystem::path& path, int* error);
void UnlockPath(intptr_t handle);

// Creates or truncates the file, writes every byte and flushes it to the
// disk.
bool WriteDurably(const std::filesystem::path& path, std::string_view bytes, int* error);

// Moves `from` over `to` (replacing it) so that `to` is either the old or
// the new file, never a mix.
bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, int* error);

}  // namespace orvane::sim_vdd::detail
