// The built OrvaneVddSetup on a simulated driver world folder, as the host's
// apply controller runs it: the world through ORVANE_SIM_VDD, the full exit
// code through ORVANE_VDD_SETUP_EXIT_FILE.

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/test_support.h"
#include "tools/sim_vdd/sim_vdd_world.h"

extern char** environ;

namespace orvane::vdd_setup {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A settings file with `entries` sizes and no global refresh rates: as
// many modes.
std::string SettingsWithModes(int entries) {
  std::string text = "<vdd_settings>\n  <monitors>\n    <count>1</count>\n  </monitors>\n  <resolutions>\n";
  for (int i = 0; i < entries; ++i) {
    text += "    <resolution><width>" + std::to_string(1000 + i) +
            "</width><height>700</height><refresh_rate>60</refresh_rate></resolution>\n";
  }
  return text + "  </resolutions>\n</vdd_settings>\n";
}

struct ToolRun {
  int status = -1;           // the process's exit status
  std::string exit_file;     // what it wrote to ORVANE_VDD_SETUP_EXIT_FILE
  std::string out;
  std::string err;
};

class SetupToolProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = temp_.path() / "world";
    fs::create_directories(world_);
    settings_ = world_ / "vdd_settings.xml";
    WriteText(world_ / sim_vdd::kWorldFileName,
              "[world]\nelevated=1\n[device]\nrestart_delay_ms=20\n[registry]\nvdd_path=" + world_.string() + "\n");
  }

  // Runs the tool; with_world false leaves ORVANE_SIM_VDD unset.
  ToolRun RunTool(const std::vector<std::string>& args, bool with_world = true) {
    const fs::path exit_file = temp_.path() / "exit_code";
    const fs::path out_file = temp_.path() / "out.txt";
    const fs::path err_file = temp_.path() / "err.txt";
    fs::remove(exit_file);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "ORVANE_SIM_VDD=", 15) != 0 && std::strncmp(*e, "ORVANE_VDD_SETUP_EXIT_FILE=", 27) != 0) {
        env.emplace_back(*e);
      }
    }
    if (with_world) env.push_back("ORVANE_SIM_VDD=" + world_.string());
    env.push_back("ORVANE_VDD_SETUP_EXIT_FILE=" + exit_file.string());
    std::vector<std::string> argv_text{ORVANE_VDD_SETUP_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ToolRun run;
    if (spawned != 0) {
      ADD_FAILURE() << "posix_spawn(" << argv[0] << "): " << std::strerror(spawned);
      return run;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.exit_file = ReadText(exit_file);
    run.out = ReadText(out_file);
    run.err = ReadText(err_file);
    return run;
  }

  testing::ScopedTempDir temp_;
  fs::path world_;
  fs::path settings_;
};

TEST_F(SetupToolProcessTest, TooManyModesRollBackToThePreviousSettings) {
  const std::string too_many = SettingsWithModes(100);
  const std::string fits = SettingsWithModes(96);
  WriteText(settings_, too_many);
  WriteText(settings_.string() + ".orvane-previous", fits);

  const ToolRun run = RunTool({"restart"});
  EXPECT_EQ(run.exit_file, "3020") << run.out << run.err;
  EXPECT_EQ(run.status, 255);
  EXPECT_NE(run.err.find("restoring the previous " + settings_.string()), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("Restored the previous settings; the driver shows its monitors again"), std::string::npos)
      << run.out;
  EXPECT_EQ(ReadText(settings_), fits);
  EXPECT_EQ(ReadText(settings_.string() + ".orvane-rejected"), too_many);
  EXPECT_FALSE(fs::exists(settings_.string() + ".orvane-previous"));
  EXPECT_FALSE(fs::exists(settings_.string() + ".orvane-setup-tmp"));

  // The world shows the driver running with its monitor again.
  sim_vdd::SimVddWorld world;
  ASSERT_TRUE(world.Load(world_).ok());
  world.FollowClock(world.state().clock_ms + 1000);
  EXPECT_EQ(world.MonitorCount(), 1u);
}

TEST_F(SetupToolProcessTest, SymbolicLinkAsPreviousIsRefused) {
  const fs::path target = temp_.path() / "elsewhere.txt";
  WriteText(target, "not settings\n");
  const std::string settings = SettingsWithModes(2);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"restart"},
                                               std::vector<std::string>{"monitors", "2"}}) {
    SCOPED_TRACE(args[0]);
    WriteText(settings_, settings);
    const fs::path previous = settings_.string() + ".orvane-previous";
    fs::remove(previous);
    fs::create_symlink(target, previous);
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exit_file, "681") << run.out << run.err;
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "Not using " + previous.string() + ": it is a link or has more than one name\n");
    EXPECT_EQ(ReadText(target), "not settings\n");
    EXPECT_TRUE(fs::is_symlink(previous));
    EXPECT_EQ(ReadText(settings_), settings);
  }
}

TEST_F(SetupToolProcessTest, ElevationRunLockAndNoWorld) {
  WriteText(settings_, SettingsWithModes(2));
  {
    // Another run holds the lock.
    const int fd = open((world_ / "vdd_setup_run.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const ToolRun run = RunTool({"restart"});
    close(fd);
    EXPECT_EQ(run.exit_file, "170");
    EXPECT_EQ(run.status, 170);
    EXPECT_EQ(run.err,
              "Another OrvaneVddSetup run is changing the Virtual Display Driver; try again when it has finished\n");
  }
  {
    const ToolRun run = RunTool({"status"});
    EXPECT_EQ(run.exit_file, "0");
    EXPECT_EQ(run.out, "Virtual Display Driver device ROOT\\DISPLAY\\0000 (present, driver -)\n");
  }
  {
    const ToolRun run = RunTool({"status"}, false);
    EXPECT_EQ(run.exit_file, "1");
    EXPECT_EQ(run.out, "Virtual Display Driver device not installed\n");
    EXPECT_EQ(RunTool({"restart"}, false).exit_file, "5");
  }
  {
    WriteText(world_ / sim_vdd::kWorldFileName, "[world]\nelevated=0\n[registry]\nvdd_path=" + world_.string() + "\n");
    const ToolRun run = RunTool({"restart"});
    EXPECT_EQ(run.exit_file, "5");
    EXPECT_EQ(run.status, 5);
  }
}

}  // namespace
}  // namespace orvane::vdd_setup
