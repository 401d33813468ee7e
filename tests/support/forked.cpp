#include "support/forked.h"

#include <sys/wait.h>
#include <unistd.h>

namespace fakenet {

std::string FailuresInChild(const std::function<std::string()>& checks) {
  int channel[2];
  if (pipe(channel) != 0) {
    return "no pipe";
  }
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    const std::string failures = checks();
    const ssize_t written = write(channel[1], failures.data(), failures.size());
    _exit(written == static_cast<ssize_t>(failures.size()) ? 0 : 1);
  }
  close(channel[1]);
  std::string failures;
  char buffer[512];
  ssize_t length = 0;
  while ((length = read(channel[0], buffer, sizeof buffer)) > 0) {
    failures.append(buffer, static_cast<size_t>(length));
  }
  close(channel[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    failures += "the child did not end cleanly\n";
  }
  return failures;
}

}  // namespace fakenet
