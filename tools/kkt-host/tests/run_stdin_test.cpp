// `kkt-host run -` driven through a pipe, the way a program drives one add-in object call by call:
// each line's answer must arrive while the next line has not been written yet.
#include <gtest/gtest.h>

#include <string>

#include "component.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// One line from `fd`, waiting at most `ms` for it; empty when none came in time.
std::string ReadLine(int fd, int ms) {
  std::string line;
  char c = 0;
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return {};
    if (read(fd, &c, 1) != 1) return {};
    if (c == '\n') return line;
    line += c;
  }
}

TEST(RunFromStandardInput, EachLineIsAnsweredBeforeTheNextIsSent) {
  const std::string host = kkthost::BesideExecutable("kkt-host").string();
  const std::string addin = kkthost::BesideExecutable(KKTHOST_TESTADDIN_FILE).string();
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    execl(host.c_str(), host.c_str(), "--addin", addin.c_str(), "--json", "run", "-", nullptr);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  for (int i = 1; i <= 3; ++i) {
    const std::string line = "Эхо i:" + std::to_string(i) + " x:0aff\n";
    ASSERT_EQ(write(in[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    // The input stays open: an answer that waited for the end of input would never come.
    const std::string answer = ReadLine(out[0], 10000);
    ASSERT_NE(answer.find("\"method\":\"Эхо\""), std::string::npos)
        << "call " << i << ": " << answer;
    EXPECT_NE(answer.find("\"host_result\":true"), std::string::npos) << answer;
  }
  close(in[1]);  // end of input ends the session
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(out[0]);
}

}  // namespace
#endif
