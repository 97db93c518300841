#include "tests/e2e/testbed_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char** environ;

namespace k24::test {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::map<std::string, std::string> ReadState(const std::filesystem::path& path) {
  std::map<std::string, std::string> state;
  std::istringstream lines(ReadAll(path));
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos) state[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return state;
}

int Spawn(const std::filesystem::path& dir, std::vector<std::string> args, const std::string& out,
          const std::string& err) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::filesystem::path stateHome = dir / "state-home";
  std::filesystem::create_directories(stateHome);
  std::vector<std::string> environment;
  for (char** each = environ; *each != nullptr; ++each) {
    if (std::string(*each).rfind("XDG_STATE_HOME=", 0) != 0) environment.emplace_back(*each);
  }
  environment.push_back("XDG_STATE_HOME=" + stateHome.string());
  std::vector<char*> envp;
  for (std::string& each : environment) envp.push_back(each.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunTestbed(const std::filesystem::path& dir, const std::vector<std::string>& scenario,
               const std::vector<std::string>& updaterArgs) {
  std::filesystem::create_directories(dir);
  std::vector<std::string> args = {K24_TESTBED, "--k24update", K24_UPDATER, "--out", dir.string(), "--timeout", "60"};
  args.insert(args.end(), scenario.begin(), scenario.end());
  if (!updaterArgs.empty()) {
    args.emplace_back("--");
    args.insert(args.end(), updaterArgs.begin(), updaterArgs.end());
  }
  return Spawn(dir, args, (dir / "testbed.stdout").string(), (dir / "testbed.stderr").string());
}

int RunForOutput(const std::filesystem::path& dir, const std::vector<std::string>& args, std::string& out) {
  static int runs = 0;
  const std::filesystem::path outFile = dir / ("run-" + std::to_string(++runs) + ".stdout");
  const int status = Spawn(dir, args, outFile.string(), (dir / ("run-" + std::to_string(runs) + ".stderr")).string());
  out = ReadAll(outFile);
  return status;
}

std::vector<std::string> FullUpdateKeys(bool upgrade) {
  std::vector<std::string> keys = {"--on", "Press 'Y' to load", "--press", "Y", "--on", "Press 'L'", "--press", "L"};
  if (upgrade) keys.insert(keys.end(), {"--on", "Press 'Y' to upgrade", "--press", "Y"});
  keys.insert(keys.end(), {"--on", "Press any key", "--press", "x"});
  return keys;
}

void TestbedRun::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "k24-trace-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
}

void TestbedRun::TearDown() {
  if (!HasFailure()) std::filesystem::remove_all(dir_);
}

}  // namespace k24::test
