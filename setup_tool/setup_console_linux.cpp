#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "setup_tool/setup_console.h"

namespace orvane::vdd_setup {

namespace {

constexpr char kExitFileVariable[] = "ORVANE_VDD_SETUP_EXIT_FILE";

bool WriteAll(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

void WriteStandardStream(bool error_stream, std::string_view text) {
  WriteAll(error_stream ? STDERR_FILENO : STDOUT_FILENO, text);
}

int FinishRun(uint32_t exit_code) {
  const char* exit_file = std::getenv(kExitFileVariable);
  if (exit_file != nullptr && exit_file[0] != '\0') {
    const std::string text = std::to_string(exit_code);
    const int fd = open(exit_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 && WriteAll(fd, text);
    if (fd >= 0 && close(fd) != 0) written = false;
    if (!written) {
      WriteStandardStream(true, std::string("Writing the exit code to ") + exit_file + " failed: " +
                                    std::strerror(errno) + "\n");
    }
  }
  return exit_code < 256 ? static_cast<int>(exit_code) : 255;
}

}  // namespace orvane::vdd_setup
