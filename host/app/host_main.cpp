// Program entry: hands the arguments to the host as UTF-8.

#include <string>
#include <vector>

#include "host/app/host_entry.h"

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>

#include "host/common/win_text.h"

int main() {
  std::vector<std::string> args;
  int argc = 0;
  if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
    for (int i = 1; i < argc; ++i) args.push_back(orvane::FromWide(argv[i]));
    LocalFree(argv);
  }
  return orvane::RunHost(args);
}
#else
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return orvane::RunHost(args);
}
#endif
