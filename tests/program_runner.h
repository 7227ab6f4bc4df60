// What the suites that run the programs as processes share: files read and
// written whole, scratch directories, and a program started with its console
// output in files. Linux only (fork and exec): these suites are not built for
// Windows.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace tv940test {

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::filesystem::path& path,
                      const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The test's environment less every TV940_ variable, then `first`, then
// `env` as NAME=VALUE.
inline std::vector<std::string> programEnvironment(
    const std::vector<std::string>& first,
    const std::map<std::string, std::string>& env) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TV940_", 6) != 0) environment.push_back(*e);
  }
  environment.insert(environment.end(), first.begin(), first.end());
  for (const auto& [name, value] : env) {
    environment.push_back(name + "=" + value);
  }
  return environment;
}

// How a started program's standard descriptors differ from the usual: each
// one whose bit (1 << fd) is in `closed` is closed; standard output goes to
// `output` when it is not -1.
struct Descriptors {
  unsigned closed = 0;
  int output = -1;
};

// Scratch directories: `dir_` is a program's working directory, its console
// output goes to `console_` so that `dir_` holds only its files; both are
// below `root_`, which is removed after the test.
class ProgramRunTest : public testing::Test {
 protected:
  // `prefix`: the start of the name of the scratch directory.
  explicit ProgramRunTest(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override {
    std::string name =
        std::filesystem::temp_directory_path() / (prefix_ + "-XXXXXX");
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    root_ = name;
    dir_ = root_ / "work";
    console_ = root_ / "console";
    std::filesystem::create_directory(dir_);
    std::filesystem::create_directory(console_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Starts the program at `path` with `args` and `environment` in `dir_`,
  // its standard output and error to the files consoleOut() and
  // consoleErr() read, unless `descriptors` says otherwise. The child's
  // process id, or -1 if there is none.
  pid_t start(const std::string& path, const std::vector<std::string>& args,
              std::vector<std::string> environment,
              Descriptors descriptors = {}) {
    std::vector<std::string> arguments{path};
    arguments.insert(arguments.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string outPath = console_ / "stdout";
    const std::string errPath = console_ / "stderr";
    const std::string workDir = dir_;
    const pid_t pid = fork();
    if (pid == 0) {
      const int out = ::open(outPath.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      const int err = ::open(errPath.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (out < 0 || err < 0 || chdir(workDir.c_str()) != 0) _exit(127);
      dup2(descriptors.output >= 0 ? descriptors.output : out, 1);
      dup2(err, 2);
      for (int fd = 0; fd <= 2; ++fd)
        if ((descriptors.closed & (1u << fd)) != 0) close(fd);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    return pid;
  }
  std::string consoleOut() const { return readFile(console_ / "stdout"); }
  std::string consoleErr() const { return readFile(console_ / "stderr"); }

  std::filesystem::path root_, dir_, console_;

 private:
  std::string prefix_;
};

}  // namespace tv940test
